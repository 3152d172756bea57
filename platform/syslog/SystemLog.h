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

    // Replaces the sink; an empty sink restores stderr. A part may write a
    // line with locks of its own held (the settings do): the sink may then
    // not call into that part, as the part's header says.
    static void setSink(Sink sink);

    // The fork handlers of a part that writes lines while holding locks of
    // its own (the settings): a fork runs every part's `prepare` before it
    // takes the log's lock, and `parent` or `child` after letting go of it,
    // whichever registered or was initialised first, so that it takes the
    // locks in the order a thread that logs takes them. No part takes
    // another's locks. Meant for a few parts, once each.
    static void addForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());
};

}  // namespace platform
