#pragma once
// Opens URLs with the desktop's preferred application.
#include <string>

namespace platform::appkit {

class Workspace {
public:
    // Hands the URL to xdg-open; true when the opener ran and succeeded.
    static bool openURL(const std::string &url);
};

}  // namespace platform::appkit
