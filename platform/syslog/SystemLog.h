#pragma once
// The system log. Lines go to stderr; tests install a sink to capture them.
#include <functional>
#include <string>

namespace platform {

class SystemLog {
public:
    using Sink = std::function<void(const std::string &line)>;

    // Writes one line (without its trailing newline) to the current sink, or
    // to stderr when no sink is set.
    static void write(const std::string &line);

    // Replaces the sink; an empty sink restores stderr.
    static void setSink(Sink sink);
};

}  // namespace platform
