#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "boot/PackageSeal.h"
#include "tools/PackageReader.h"

namespace Packaging {

// What follows a package's last component's data, and, given the key the package must be sealed
// with, whether the seal there verifies. The hash can ride along another pass over the data (the
// verifier's CRC checks hand it each component's data in table order) or read the data itself.
class PackageSealCheck {
public:
    using Status = Boot::PackageSeal::Status;

    // Finds and parses the seal block of the open package. With `expectedKey` it also checks
    // that the seal names that key and, when it does, hashes the header, table and signature
    // block, so that the component data is all that is left to feed.
    PackageSealCheck(PackageReader& package, const Boot::PackageSeal::Key* expectedKey);

    // What was found after the data: valid when a well-formed seal block is there.
    Status found() const { return found_; }
    // The seal found, when well-formed.
    const std::optional<Boot::PackageSeal>& seal() const { return seal_; }
    // Bytes after the last component's data, when the components lie back to back within the
    // file.
    std::optional<std::uint64_t> bytesAfterData() const { return bytesAfterData_; }

    // The next piece of component data, in table order.
    void feed(std::span<const char> piece);
    // Reads and feeds every component's data itself; false with `error` when reading stops.
    bool feedData(PackageReader& package, std::string& error);
    // The verdict, once every byte was fed: valid, or why the seal is not accepted. Without a
    // key there is none.
    std::optional<Status> finish();
    // The verdict once finished, or known early (a missing seal, another key).
    const std::optional<Status>& verdict() const { return verdict_; }

    // "ed25519, key 0a1b...": the algorithm and the fingerprint of a seal.
    static std::string describeSeal(const Boot::PackageSeal& seal);
    // Why the seal is not accepted (a failed verdict, or what was found instead of a seal), with
    // the key that sealed it when it is another.
    std::string problem(Status status) const;

private:
    const Boot::PackageSeal::Key* expectedKey_;
    Status found_ = Status::missing;
    std::optional<Boot::PackageSeal> seal_;
    std::optional<std::uint64_t> bytesAfterData_;
    std::uint64_t blockOffset_ = 0;
    std::uint64_t dataStart_ = 0;
    // Known once the seal failed before its signature could be checked, or once finished.
    std::optional<Status> verdict_;
    bool hashing_ = false;
    // Set when fewer bytes were fed than the seal covers.
    bool incomplete_ = false;
    std::uint64_t hashed_ = 0;
    Boot::PackageSeal::Hasher hasher_;
};

}  // namespace Packaging
