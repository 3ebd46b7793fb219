#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace Platform {

// Calls `visit` with every component of a slash-separated path, in order; empty and "."
// components are left out, ".." ones are passed on.
template <typename Visitor>
void forEachPathComponent(std::string_view path, Visitor visit) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view component = path.substr(start, end - start);
        if (!component.empty() && component != ".") {
            visit(component);
        }
        start = end + 1;
    }
}

}  // namespace Platform
