#include "tools/PackageVerifier.h"

#include <algorithm>
#include <vector>

#include "CoreSystem/ByteOrder.h"
#include "tools/ComponentNames.h"
#include "tools/NumberText.h"
#include "tools/PackageSealCheck.h"
#include "tools/PackageWriter.h"

namespace Packaging {
namespace {

PackageVerifier::Check passed(std::string line) {
    return {.passed = true, .line = std::move(line)};
}

PackageVerifier::Check failed(const std::string& subject, const std::string& reason) {
    return {.passed = false, .line = subject + ": FAILED (" + reason + ")"};
}

}  // namespace

PackageVerifier::PackageVerifier(PackageReader& package, const Boot::RsaKey& key)
    : package_(package), key_(key) {}

PackageVerifier::Check PackageVerifier::checkSignature() const {
    std::vector<std::uint8_t> plaintext;
    if (!key_.decrypt(package_.signature(), plaintext)) {
        return failed("signature", "the block does not decrypt with this key");
    }
    if (plaintext.size() < 4) {
        return failed("signature", "the decrypted block holds " + std::to_string(plaintext.size()) +
                                       " bytes, fewer than the 4 of a CRC");
    }
    const std::uint32_t sealed = CoreSystem::ByteOrder::loadLittleEndian32(plaintext.data());
    if (sealed != package_.headerAndTableCrc()) {
        return failed("signature", "it seals CRC " + NumberText::hex32(sealed) +
                                       " but header and table give " +
                                       NumberText::hex32(package_.headerAndTableCrc()));
    }
    return passed("signature: ok");
}

PackageVerifier::Check PackageVerifier::checkText(
    std::string_view label, std::uint32_t flag,
    std::span<const std::uint8_t, Boot::rsaBlockSize> block,
    const std::optional<std::string>& expected) const {
    const std::string subject(label);
    const bool flagged = (package_.header().flags() & flag) != 0;
    if (!expected) {
        return passed(subject + (flagged ? ": required, not checked" : ": not required"));
    }
    if (!flagged) {
        return failed(subject, "the package does not ask for one (flag " + NumberText::hex32(flag) +
                                   " is clear)");
    }
    std::vector<std::uint8_t> plaintext;
    if (!key_.decrypt(block, plaintext)) {
        return failed(subject, "the block does not decrypt with this key");
    }
    const auto end = std::find(plaintext.begin(), plaintext.end(), std::uint8_t{0});
    if (std::string(plaintext.begin(), end) != *expected) {
        return failed(subject, "the sealed text is different");
    }
    return passed(subject + ": ok");
}

PackageVerifier::Check PackageVerifier::checkComponent(std::size_t index,
                                                       const ChunkReader::Sink& piece) {
    const Boot::ComponentEntry& entry = package_.entries().at(index);
    const std::string subject =
        "component " + std::to_string(index) + " (" + ComponentNames::nameOf(entry.type) + ")";
    std::optional<Check> problem;
    if (entry.type < Boot::ComponentType::lowest || entry.type > Boot::ComponentType::highest) {
        problem = failed(subject, "type " + std::to_string(entry.type) + " is not 1 to 15");
    } else if (!package_.withinFile(entry)) {
        problem = failed(subject, "its data lies beyond the end of the file");
    } else if (entry.offset + entry.size > PackageWriter::readableEnd) {
        problem = failed(subject, "its data ends beyond 4 GiB, where the unit cannot read it");
    }
    if (!package_.withinFile(entry)) {
        return *problem;
    }
    std::uint32_t computed = 0;
    std::string error;
    const bool read = package_.readComponent(index, piece, computed, error);
    if (problem) {
        return *problem;
    }
    if (!read) {
        return failed(subject, error);
    }
    if (computed != entry.crc) {
        return failed(subject, "data CRC " + NumberText::hex32(computed) + ", table says " +
                                   NumberText::hex32(entry.crc));
    }
    return passed(subject + ": crc ok");
}

bool PackageVerifier::verify(const Texts& texts, const ReportCheck& report,
                             const Progress& progress, const Boot::PackageSeal::Key* sealKey) {
    bool allPassed = true;
    const auto record = [&](const Check& check) {
        allPassed = allPassed && check.passed;
        report(check);
    };
    const Boot::PackageHeader& header = package_.header();
    record(checkSignature());
    record(
        checkText("password", Boot::flagPasswordProtected, header.passwordBlock(), texts.password));
    record(checkText("part number", Boot::flagPartNumberLocked, header.partNumberBlock(),
                     texts.partNumber));
    std::optional<PackageSealCheck> seal;
    if (sealKey != nullptr) {
        seal.emplace(package_, sealKey);
    }
    std::uint64_t total = 0;
    for (const Boot::ComponentEntry& entry : package_.entries()) {
        total += package_.withinFile(entry) ? entry.size : 0;
    }
    std::uint64_t done = 0;
    for (std::size_t index = 0; index < package_.entries().size(); ++index) {
        record(checkComponent(index, [&](std::span<const char> piece) {
            if (seal) {
                seal->feed(piece);
            }
            done += piece.size();
            if (progress) {
                progress(done, total);
            }
            return true;
        }));
    }
    if (seal) {
        const PackageSealCheck::Status verdict = seal->finish().value();
        record(verdict == PackageSealCheck::Status::valid
                   ? passed("seal: ok (" + PackageSealCheck::describeSeal(*seal->seal()) + ")")
                   : failed("seal", seal->problem(verdict)));
    }
    return allPassed;
}

}  // namespace Packaging
