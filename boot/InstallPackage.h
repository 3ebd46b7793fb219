#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "boot/InstallUserInterface.h"
#include "boot/PackageFormat.h"
#include "boot/PackageSeal.h"
#include "boot/RsaKey.h"

namespace Boot {

// The install package being installed, and the installed record ("installed.kx1") that says
// which component versions the unit carries. The record is read at construction and written
// after a successful install; a package is loaded, checked, and its components handed out
// through the open stream.
//
// A package counts as loaded while the header's magic is packageMagic. A load that fails (the
// file cannot be opened, its header is short, or its table and signature block do not fit in
// the file) leaves the magic 0, which the install sequence reports as a package that cannot be
// loaded.
class InstallPackage {
public:
    // Map from component type to the version installed.
    using InstalledVersions = std::map<std::int32_t, std::uint32_t>;

    static constexpr const char* verifyingText = "Verifying install package...";

    // Reads the installed record at `recordPath` (a host path); a missing or damaged record
    // leaves no versions.
    explicit InstallPackage(std::string recordPath);
    InstallPackage(const InstallPackage&) = delete;
    InstallPackage& operator=(const InstallPackage&) = delete;
    InstallPackage(InstallPackage&&) = delete;
    InstallPackage& operator=(InstallPackage&&) = delete;
    ~InstallPackage() = default;

    // Opens the package at `packagePath` (a host path) and reads its header and table. The
    // previously loaded package is closed first. Returns the header; its magic tells whether
    // the package loaded.
    [[nodiscard]] PackageHeader load(const std::string& packagePath);

    // Whether the signature block opens with `key` (the loader's key) to the package CRC-32 of
    // the header and table.
    [[nodiscard]] bool verifySignature(const RsaKey& key);

    // Whether the package is loaded and `block` opens with `key` to exactly `expected` (up to
    // the first zero byte of the plaintext; case matters).
    [[nodiscard]] bool decryptedTextEquals(const RsaKey& key, std::string_view expected,
                                           std::span<const std::uint8_t, rsaBlockSize> block) const;

    // The stream the components are read from and a copy of entry `index`. False when no
    // package is loaded (`stream` is then set to null) or the index is past the table.
    [[nodiscard]] bool getComponent(std::size_t index, std::istream*& stream,
                                    ComponentEntry& entry);

    // Checks the package CRC-32 of every component's data, in table order, reporting the
    // share checked so far (0 first, 100 after the last) through `userInterface`.
    [[nodiscard]] bool verifyComponentData(InstallUserInterface& userInterface);

    // Requires every package to carry a seal by `key`, which must outlive this object. The
    // component data check then also hashes the package, in the same pass as its CRCs.
    void requireSeal(const PackageSeal::Key& key) { sealKey_ = &key; }
    bool requiresSeal() const { return sealKey_ != nullptr; }
    // Finds the loaded package's seal (reading only what follows the component data) and checks
    // that it names the required key: valid, or why not.
    [[nodiscard]] PackageSeal::Status checkSealKey();
    // After verifyComponentData, whether the seal's signature covers every byte before it;
    // from then on each component handed out carries the digest of its data as checked.
    PackageSeal::Status sealVerdict() const { return sealVerdict_; }

    void setInstalledVersion(std::int32_t type, std::uint32_t version);

    // Replaces the installed record with the loaded header (its count set to the number of
    // versions), one record per installed version in ascending type order, and the signature
    // block last checked. Does nothing, and returns false, when no package is loaded.
    [[nodiscard]] bool writeInstalledRecord();

    bool isLoaded() const { return header_.magic() == packageMagic; }
    const PackageHeader& header() const { return header_; }
    const std::vector<ComponentEntry>& components() const { return components_; }
    const InstalledVersions& installed() const { return installed_; }
    const std::string& recordPath() const { return recordPath_; }

private:
    void readInstalledRecord();
    // Hands `size` bytes of the package from `offset` to `consume`, a piece at a time; false
    // when they cannot all be read.
    [[nodiscard]] bool readRange(std::uint64_t offset, std::uint64_t size,
                                 const std::function<void(std::span<const char>)>& consume);
    // The data check of a package that must be sealed: every component's CRC and digest, and
    // the seal over the header, table, signature block and data. False when a CRC differs.
    bool verifySealedComponentData(InstallUserInterface& userInterface);

    std::string recordPath_;
    std::ifstream stream_;
    PackageHeader header_;
    std::vector<ComponentEntry> components_;
    InstalledVersions installed_;
    std::array<std::uint8_t, signatureBlockSize> signature_{};
    const PackageSeal::Key* sealKey_ = nullptr;
    std::optional<PackageSeal> seal_;
    PackageSeal::Status sealVerdict_ = PackageSeal::Status::missing;
};

}  // namespace Boot
