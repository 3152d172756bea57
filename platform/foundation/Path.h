#pragma once
// Path texts as Foundation treats them, purely lexically: nothing here looks
// at the file system (no "~" expansion, no symbolic links).
#include <string>
#include <string_view>

namespace platform::path {

// Collapses "//" and "/./", resolves ".." in an absolute path, drops a
// trailing "/" (the root stays "/"); "" stays "".
std::string standardizingPath(std::string_view path);

// The last component, trailing slashes ignored: "/a/b/" gives "b", "/" gives
// "/", "" gives "".
std::string lastPathComponent(std::string_view path);

}  // namespace platform::path
