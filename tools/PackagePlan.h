#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "boot/InstallStatus.h"
#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"
#include "boot/RsaKey.h"
#include "tools/PackageReader.h"

namespace Packaging {

// What installing a package would do on a unit, worked out without changing anything from the
// package's header and table, the unit's installed record and what is known of the unit: the
// unit's checks in the order it makes them, with the status that would end the install; each
// component in install order, its version against the record's, whether the data partition is
// wiped before it and what it replaces; and the record the unit would hold afterwards. Only
// headers, tables and records are read, so a plan takes no longer for a large package.
struct PackagePlan {
    // Installed versions by component type, as an installed record holds them.
    using InstalledVersions = std::map<std::int32_t, std::uint32_t>;

    // What is known of the unit; an empty number is not known.
    struct Unit {
        // The variant code the unit compares with the package's hardware family (0: none).
        std::optional<std::uint32_t> hardwareFamily;
        // 0 when the unit has none.
        std::optional<std::uint32_t> partNumber;
        std::optional<std::uint32_t> serialNumber;
    };

    struct Input {
        // Shown as the package's name.
        std::string packagePath;
        // The unit's installed record; empty when not known (a unit without a record has an
        // empty map).
        std::optional<InstalledVersions> record;
        Unit unit;
        // The loader's private key opens the signature and the part-number lock; without it
        // those checks are not known.
        const Boot::RsaKey* loaderKey = nullptr;
        // What follows the last component's data (PackageSeal::read), and the seal when valid.
        Boot::PackageSeal::Status sealStatus = Boot::PackageSeal::Status::missing;
        std::optional<Boot::PackageSeal> seal;
    };

    enum class Outcome { passes, fails, asksForPassword, unknown };

    // One of the unit's checks, in the order the unit makes them.
    struct Check {
        std::string name;
        Outcome outcome = Outcome::unknown;
        // The status the install ends with when this check fails.
        Boot::InstallStatus failureStatus = Boot::InstallStatus::invalidFile;
        std::string detail;
    };

    // The package's version against the one the record holds.
    enum class Change { added, same, newer, older, unknown };

    // One component, in install order.
    struct Step {
        std::size_t index = 0;
        Boot::ComponentEntry entry;
        std::optional<std::uint32_t> recordedVersion;
        Change change = Change::unknown;
        // False for a type outside 1 to 15, at which the install stops with 307.
        bool validType = true;
        // Whether an installer runs (types 13 and 14 have none).
        bool installs = true;
        // Whether the data partition is wiped before it: the IPL component and every one after.
        bool wipesDataPartition = false;
        // Whether the install gets this far when every check passes.
        bool reached = true;
        std::string replaces;
    };

    // What becomes of installed.kx1 when the install ends as the plan expects.
    enum class RecordAfter { rewritten, unchanged, removed };

    // `package` must be an open install package.
    static PackagePlan make(PackageReader& package, const Input& input);

    // For people, and one JSON object for scripts.
    std::string text() const;
    std::string json() const;

    // A simulated unit's numbers from its factory data (block 1, read as the unit reads it).
    // False with `error` when the block cannot be read or fails its checksum; the unit then
    // falls back to its boot parameters, which are not read here.
    static bool readUnit(const std::string& unitRoot, Unit& unit, std::string& error);
    // The versions an installed record holds, a later record of a type replacing an earlier one.
    static bool readRecord(const std::string& path, InstalledVersions& versions,
                           std::string& error);
    // Where a unit root keeps its installed record.
    static std::string unitRecordPath(const std::string& unitRoot);

    std::string packagePath;
    std::uint64_t fileSize = 0;
    std::uint32_t hardwareFamily = 0;
    std::uint32_t flags = 0;
    Unit unit;
    std::optional<InstalledVersions> recordBefore;
    Boot::PackageSeal::Status sealStatus = Boot::PackageSeal::Status::missing;
    std::optional<Boot::PackageSeal> seal;

    std::vector<Check> checks;
    std::vector<Step> steps;

    // The status the install would end with. Certain when every check before the one that
    // decides it passes (installers' own failures aside); otherwise an earlier check may stop
    // it first, or a password must be typed right.
    Boot::InstallStatus expectedStatus = Boot::InstallStatus::success;
    bool certain = false;
    RecordAfter recordAfter = RecordAfter::unchanged;
    // The rewritten record's versions; all of them only when the record before was known.
    InstalledVersions recordVersionsAfter;
    // The rewritten record's size, when the record before was known.
    std::optional<std::uint64_t> recordBytes;
    // Component data that the installers would read, in bytes.
    std::uint64_t componentBytes = 0;
};

}  // namespace Packaging
