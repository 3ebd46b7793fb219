#include "tools/PackageSealer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>

#include "tools/ChunkReader.h"
#include "tools/ComponentNames.h"
#include "tools/NumberText.h"
#include "tools/OutputFile.h"
#include "tools/PackageReader.h"

namespace Packaging {
namespace {

using Boot::PackageSeal;
using Status = PackageSeal::Status;

// Opens the package and finds where its seal block goes, after the last component's data;
// `existing` gets the seal the package carries now.
bool openForSealing(const std::string& path, PackageReader& package, std::uint64_t& blockOffset,
                    std::optional<PackageSeal>& existing, std::string& error) {
    if (!package.open(path, error)) {
        return false;
    }
    if (package.kind() != PackageReader::Kind::package) {
        error = path + " is an installed record, not a package";
        return false;
    }
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        if (!package.withinFile(package.entries()[index])) {
            error = "the data of component " + std::to_string(index) + " lies beyond the end of " +
                    path;
            return false;
        }
    }
    PackageSeal seal;
    const Status status = package.readSeal(seal, blockOffset);
    if (status == Status::valid) {
        existing = seal;
    } else if (status == Status::scatteredLayout) {
        error = "the components of " + path +
                " do not lie back to back after the signature block, as kx1 pack lays them "
                "out; only such a package can be sealed";
    } else if (status != Status::missing) {
        error = "what follows the last component's data in " + path +
                " is no seal that can be replaced (" + std::string(PackageSeal::describe(status)) +
                ")";
    }
    return status == Status::valid || status == Status::missing;
}

// Hands every byte before the seal block, in file order, to the hasher and to `copy`, and checks
// each component's data against its CRC on the way.
bool hashPackage(PackageReader& package, std::uint64_t total, PackageSeal::Hasher& hasher,
                 const ChunkReader::Sink& copy, const PackageSealer::Progress& progress,
                 std::string& error) {
    std::uint64_t done = 0;
    const ChunkReader::Sink pass = [&](std::span<const char> piece) {
        hasher.update(piece);
        done += piece.size();
        if (progress) {
            progress(done, total);
        }
        return !copy || copy(piece);
    };
    if (!package.readRange(0, package.tableEnd() + Boot::signatureBlockSize, pass, error)) {
        return false;
    }
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        const Boot::ComponentEntry& entry = package.entries()[index];
        std::uint32_t computed = 0;
        if (!package.readComponent(index, pass, computed, error)) {
            return false;
        }
        if (computed != entry.crc) {
            error = "component " + std::to_string(index) + " (" +
                    ComponentNames::nameOf(entry.type) + ") has data CRC " +
                    NumberText::hex32(computed) + " but its table says " +
                    NumberText::hex32(entry.crc) + "; a damaged package is not sealed";
            return false;
        }
    }
    return true;
}

std::optional<PackageSeal> sealOver(PackageSeal::Hasher& hasher, const PackageSeal::Key& key,
                                    std::string& error) {
    const std::optional<PackageSeal::Digest> digest = hasher.finish();
    std::optional<PackageSeal> seal = digest ? PackageSeal::make(key, *digest) : std::nullopt;
    if (!seal) {
        error = "OpenSSL could not make the seal";
    }
    return seal;
}

bool canSeal(const PackageSeal::Key& key, std::string& error) {
    if (!key.canSign()) {
        error = "sealing needs the private half of a seal key";
        return false;
    }
    return true;
}

// Appends the seal block to the file and syncs and closes it.
bool finishFile(OutputFile& file, const PackageSeal& seal, std::string& error) {
    if (!file.write(std::span<const std::uint8_t>(seal.encode())) || !file.sync() ||
        !file.close()) {
        error = "cannot write the seal to " + file.path() + ": " + file.problem();
        return false;
    }
    return true;
}

// Copies the bytes before the seal block into `file`, hashing them on the way, then appends the
// seal and syncs the file.
bool writeSealedCopy(PackageReader& package, std::uint64_t blockOffset, const PackageSeal::Key& key,
                     OutputFile& file, std::optional<PackageSeal>& seal,
                     const PackageSealer::Progress& progress, std::string& error) {
    PackageSeal::Hasher hasher;
    bool writeFailed = false;
    const bool copied = hashPackage(
        package, blockOffset, hasher,
        [&](std::span<const char> piece) {
            writeFailed = !file.write(piece);
            return !writeFailed;
        },
        progress, error);
    if (writeFailed) {
        error = "cannot write " + file.path() + ": " + file.problem();
    }
    if (!copied) {
        return false;
    }
    seal = sealOver(hasher, key, error);
    return seal && finishFile(file, *seal, error);
}

}  // namespace

bool PackageSealer::appendTo(const std::string& path, const PackageSeal::Key& key, Result& result,
                             std::string& error, const Progress& progress) {
    PackageReader package;
    std::uint64_t blockOffset = 0;
    if (!canSeal(key, error) ||
        !openForSealing(path, package, blockOffset, result.replaced, error)) {
        return false;
    }
    if (blockOffset != package.fileSize()) {
        error = path + " already carries a seal";
        return false;
    }
    PackageSeal::Hasher hasher;
    if (!hashPackage(package, blockOffset, hasher, {}, progress, error)) {
        return false;
    }
    const std::optional<PackageSeal> seal = sealOver(hasher, key, error);
    OutputFile file = OutputFile::openForAppending(path);
    if (!seal || !finishFile(file, *seal, error)) {
        return false;
    }
    result.seal = *seal;
    result.coveredBytes = blockOffset;
    return true;
}

bool PackageSealer::sealInPlace(const std::string& path, const PackageSeal::Key& key,
                                Result& result, std::string& error, const Progress& progress) {
    if (!canSeal(key, error)) {
        return false;
    }
    std::error_code problem;
    const std::string target = std::filesystem::canonical(path, problem).string();
    struct stat status {};
    if (problem || ::stat(target.c_str(), &status) != 0) {
        error = "cannot read " + path + (problem ? ": " + problem.message() : "");
        return false;
    }
    PackageReader package;
    std::uint64_t blockOffset = 0;
    if (!openForSealing(target, package, blockOffset, result.replaced, error)) {
        return false;
    }
    OutputFile file = OutputFile::createUnique(target + ".seal-");
    if (!file.isOpen()) {
        error = "cannot create a new file beside " + target + ": " + file.problem();
        return false;
    }
    std::optional<PackageSeal> seal;
    // The sealed package keeps the permissions of the one it replaces.
    bool done = file.setMode(status.st_mode & 07777U);
    if (!done) {
        error = "cannot set the mode of " + file.path() + ": " + file.problem();
    }
    done = done && writeSealedCopy(package, blockOffset, key, file, seal, progress, error);
    if (done && std::rename(file.path().c_str(), target.c_str()) != 0) {
        error = "cannot rename " + file.path() + " to " + target + ": " + std::strerror(errno);
        done = false;
    }
    if (!done) {
        std::remove(file.path().c_str());
        return false;
    }
    // The new name lives in the folder: sync it too.
    OutputFile::syncFolderOf(target);
    result.seal = *seal;
    result.coveredBytes = blockOffset;
    return true;
}

}  // namespace Packaging
