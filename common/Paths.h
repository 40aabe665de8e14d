#pragma once
// Path text helpers, for POSIX paths held as strings ("/" separated).

#include <string>
#include <string_view>

namespace tavrin {

// path without trailing slashes ("/" itself stays "/").
inline std::string_view withoutTrailingSlashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return path;
}

// The last component of path, trailing slashes ignored ("/a/b/" gives "b").
inline std::string_view lastPathComponent(std::string_view path) {
    path = withoutTrailingSlashes(path);
    auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// dir and name with exactly the one slash between them that dir lacks.
inline std::string joinPath(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir);
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    path.append(name);
    return path;
}

// Whether path lies strictly below dir (dir given without a trailing slash).
inline bool isBelowPath(std::string_view path, std::string_view dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

} // namespace tavrin
