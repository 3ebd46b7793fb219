#include "tools/PackageWriter.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/CRC32.h"
#include "boot/PackageFormat.h"

namespace Packaging {
namespace {

constexpr std::size_t copyChunkSize = 1U << 20U;

bool fail(std::string& error, const std::string& message, const std::string& outputPath) {
    error = message;
    std::remove(outputPath.c_str());
    return false;
}

}  // namespace

bool PackageWriter::write(const PackageDescription& description, const RsaPublicKey& key,
                          const std::string& outputPath, std::string& error,
                          const Progress& progress) {
    if (!key.isValid()) {
        error = "unusable key: " + key.problem();
        return false;
    }
    Boot::PackageHeader header;
    header.setMagic(Boot::packageMagic);
    header.setHardwareFamily(description.hardwareFamily);
    header.setFlags(description.flags);
    header.setCount(static_cast<std::int32_t>(description.components.size()));
    std::array<std::uint8_t, Boot::rsaBlockSize> block{};
    if (description.password) {
        if (!key.encrypt(*description.password, block)) {
            error = "the password does not fit one RSA block (at most 117 bytes)";
            return false;
        }
        header.setPasswordBlock(block);
    }
    if (description.partNumberLock) {
        if (!key.encrypt(*description.partNumberLock, block)) {
            error = "the part-number text does not fit one RSA block (at most 117 bytes)";
            return false;
        }
        header.setPartNumberBlock(block);
    }

    std::vector<Boot::ComponentEntry> entries;
    std::uint64_t total = 0;
    struct stat existingOutput {};
    const bool outputExists = stat(outputPath.c_str(), &existingOutput) == 0;
    for (const ComponentSource& source : description.components) {
        struct stat status {};
        if (stat(source.path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            error = "cannot read component file " + source.path;
            return false;
        }
        // Opening the output would empty the component before it is read.
        if (outputExists && status.st_dev == existingOutput.st_dev &&
            status.st_ino == existingOutput.st_ino) {
            error = "the output " + outputPath + " is the component file " + source.path;
            return false;
        }
        entries.push_back({.type = source.type,
                           .version = source.version,
                           .size = static_cast<std::uint64_t>(status.st_size)});
        total += entries.back().size;
    }

    const std::uint64_t tableEnd =
        Boot::packageHeaderSize + Boot::componentEntrySize * entries.size();
    if (tableEnd + Boot::signatureBlockSize + total > readableEnd) {
        error = "the package would be " +
                std::to_string(tableEnd + Boot::signatureBlockSize + total) +
                " bytes; the unit reads component data only below 4 GiB";
        return false;
    }

    std::ofstream output(outputPath, std::ios::binary | std::ios::trunc);
    if (!output) {
        error = "cannot create " + outputPath;
        return false;
    }
    // Room for the header, table and signature, which are known only after the data.
    const std::vector<char> placeholder(tableEnd + Boot::signatureBlockSize, 0);
    output.write(placeholder.data(), static_cast<std::streamsize>(placeholder.size()));

    const CoreSystem::CRC32 crc;
    std::vector<char> chunk(copyChunkSize);
    std::uint64_t done = 0;
    std::uint64_t offset = placeholder.size();
    for (std::size_t index = 0; index < entries.size(); ++index) {
        Boot::ComponentEntry& entry = entries[index];
        std::ifstream input(description.components[index].path, std::ios::binary);
        entry.offset = offset;
        entry.crc = crc.startValue(CoreSystem::CRC32::packageSeed);
        std::uint64_t remaining = entry.size;
        while (remaining > 0 && input) {
            const auto wanted =
                static_cast<std::streamsize>(std::min<std::uint64_t>(remaining, chunk.size()));
            input.read(chunk.data(), wanted);
            const std::streamsize got = input.gcount();
            entry.crc = crc.update(entry.crc, chunk.data(), static_cast<std::size_t>(got));
            output.write(chunk.data(), got);
            remaining -= static_cast<std::uint64_t>(got);
            done += static_cast<std::uint64_t>(got);
            if (progress) {
                progress(done, total);
            }
        }
        if (remaining != 0) {
            return fail(error,
                        "component file " + description.components[index].path +
                            " changed size while it was read",
                        outputPath);
        }
        offset += entry.size;
    }

    std::vector<std::uint8_t> signedBytes(header.bytes.begin(), header.bytes.end());
    signedBytes.resize(tableEnd);
    for (std::size_t index = 0; index < entries.size(); ++index) {
        entries[index].encode(std::span<std::uint8_t, Boot::componentEntrySize>(
            signedBytes.data() + Boot::packageHeaderSize + index * Boot::componentEntrySize,
            Boot::componentEntrySize));
    }
    std::array<std::uint8_t, 4> signaturePlaintext{};
    CoreSystem::ByteOrder::storeLittleEndian32(
        signaturePlaintext.data(), crc.update(crc.startValue(CoreSystem::CRC32::packageSeed),
                                              signedBytes.data(), signedBytes.size()));
    if (!key.encrypt(std::string_view(reinterpret_cast<const char*>(signaturePlaintext.data()),
                                      signaturePlaintext.size()),
                     block)) {
        return fail(error, "signing failed", outputPath);
    }
    output.seekp(0);
    output.write(reinterpret_cast<const char*>(signedBytes.data()),
                 static_cast<std::streamsize>(signedBytes.size()));
    output.write(reinterpret_cast<const char*>(block.data()),
                 static_cast<std::streamsize>(block.size()));
    output.close();
    if (!output) {
        return fail(error, "cannot write " + outputPath, outputPath);
    }
    return true;
}

}  // namespace Packaging
