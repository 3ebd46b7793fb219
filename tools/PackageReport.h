#pragma once

#include <string>

#include "tools/PackageReader.h"

namespace Packaging {

// What `kx1 inspect` shows of a package or installed record: the header fields, the flags with
// their meaning and the table, as text for people or as one JSON object for scripts.
class PackageReport {
public:
    static std::string text(const PackageReader& package, const std::string& path);
    static std::string json(const PackageReader& package, const std::string& path);
};

}  // namespace Packaging
