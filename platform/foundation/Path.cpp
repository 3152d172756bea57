#include "platform/foundation/Path.h"

#include <vector>

namespace platform::path {

std::string standardizingPath(std::string_view path) {
    if (path.empty()) return {};
    const bool absolute = path.front() == '/';
    std::vector<std::string_view> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view part = path.substr(at, slash - at);
        at = slash + 1;
        if (part.empty() || part == ".") continue;
        // ".." climbs only where there is something to climb out of in an
        // absolute path; a relative path keeps it, as it can't be resolved
        // without the working directory.
        if (part == ".." && absolute) {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += '/';
        out += parts[i];
    }
    return out;
}

std::string lastPathComponent(std::string_view path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    path = path.substr(0, end);
    if (path == "/") return "/";
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace platform::path
