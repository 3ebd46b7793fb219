#pragma once

#include <string>

#include "tools/PackageReader.h"
#include "tools/PackageSealCheck.h"

namespace Packaging {

// What `kx1 inspect` shows of a package or installed record: the header fields, the flags with
// their meaning and the table, as text for people or as one JSON object for scripts. Given what
// was found after a package's data, it shows the seal too, and whether it verifies when it was
// checked.
class PackageReport {
public:
    static std::string text(const PackageReader& package, const std::string& path,
                            const PackageSealCheck* seal = nullptr);
    static std::string json(const PackageReader& package, const std::string& path,
                            const PackageSealCheck* seal = nullptr);
};

}  // namespace Packaging
