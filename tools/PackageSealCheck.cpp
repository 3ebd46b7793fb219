#include "tools/PackageSealCheck.h"

namespace Packaging {

using Boot::PackageSeal;

PackageSealCheck::PackageSealCheck(PackageReader& package, const PackageSeal::Key* expectedKey)
    : expectedKey_(expectedKey) {
    PackageSeal seal;
    found_ = package.readSeal(seal, blockOffset_);
    // Where the data ends is known unless the components are scattered or the file ends first.
    std::uint64_t dataEnd = 0;
    if (PackageSeal::locate(package.entries(), package.fileSize(), dataEnd) == Status::valid) {
        bytesAfterData_ = package.fileSize() - dataEnd;
    }
    if (found_ == Status::valid) {
        seal_ = seal;
    }
    if (expectedKey_ == nullptr) {
        return;
    }
    verdict_ = found_ == Status::valid ? seal.checkKey(*expectedKey_) : found_;
    if (verdict_ != Status::valid) {
        return;
    }
    // The signature is yet to be checked.
    verdict_.reset();
    dataStart_ = package.tableEnd() + Boot::signatureBlockSize;
    std::string error;
    hashing_ = package.readRange(
        0, dataStart_,
        [this](std::span<const char> piece) {
            hasher_.update(piece);
            return true;
        },
        error);
    incomplete_ = !hashing_;
}

void PackageSealCheck::feed(std::span<const char> piece) {
    if (hashing_) {
        hasher_.update(piece);
        hashed_ += piece.size();
    }
}

bool PackageSealCheck::feedData(PackageReader& package, std::string& error) {
    if (!hashing_) {
        return true;
    }
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        if (!package.readComponent(
                index,
                [this](std::span<const char> piece) {
                    feed(piece);
                    return true;
                },
                error)) {
            return false;
        }
    }
    return true;
}

std::optional<PackageSealCheck::Status> PackageSealCheck::finish() {
    if (expectedKey_ == nullptr) {
        return std::nullopt;
    }
    if (verdict_) {
        return verdict_;
    }
    // The components lie back to back, so their data is every byte between the signature block
    // and the seal block; anything less was not read whole.
    incomplete_ = incomplete_ || hashed_ != blockOffset_ - dataStart_;
    const std::optional<PackageSeal::Digest> digest = hasher_.finish();
    hashing_ = false;
    incomplete_ = incomplete_ || !digest;
    verdict_ = incomplete_ ? Status::truncated : seal_->verify(*expectedKey_, *digest);
    return verdict_;
}

std::string PackageSealCheck::describeSeal(const PackageSeal& seal) {
    return std::string(PackageSeal::nameOf(seal.algorithm())) + ", key " +
           PackageSeal::hex(seal.fingerprint());
}

std::string PackageSealCheck::problem(Status status) const {
    if (status == Status::keyMismatch && seal_) {
        return "sealed with another key: " + PackageSeal::hex(seal_->fingerprint());
    }
    if (status == Status::badMagic && bytesAfterData_) {
        return std::to_string(*bytesAfterData_) +
               " bytes after the component data are no seal block";
    }
    if (status == Status::truncated && incomplete_) {
        return "the package could not be read whole";
    }
    if (status == Status::truncated && !bytesAfterData_) {
        return "the file ends inside the component data";
    }
    return std::string(PackageSeal::describe(status));
}

}  // namespace Packaging
