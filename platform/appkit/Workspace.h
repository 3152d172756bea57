#pragma once
// Opens URLs with the desktop's preferred application.
#include <string>

namespace platform::appkit {

class Workspace {
public:
    // Hands the URL to xdg-open (found on $PATH) as one argument. False for
    // an empty URL or one starting with "-" (xdg-open would read it as an
    // option), when the opener can't be started, or when it fails. The
    // opener may stay in the foreground (a terminal browser): after
    // `waitSeconds` the URL counts as opened and the opener is reaped in the
    // background, so the caller (usually the main thread) never hangs.
    static bool openURL(const std::string &url, double waitSeconds = 10);
};

}  // namespace platform::appkit
