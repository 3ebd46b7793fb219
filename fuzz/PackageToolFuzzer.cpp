// Feeds arbitrary bytes to the packaging tool's readers: as a package or installed record for
// inspect, verify and extract, and as a manifest for pack. They must report what does not hold
// up in one line, without crashing, reading out of bounds or allocating from a stored count.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "tools/Manifest.h"
#include "tools/PackageReader.h"
#include "tools/PackageReport.h"

using FuzzSupport::workFolder;
using FuzzSupport::writeFile;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    FuzzSupport::makeWorkFolder("kx1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    Packaging::Manifest manifest;
    Packaging::Manifest::Error manifestError;
    if (!Packaging::Manifest::parse(bytes, workFolder(), manifest, manifestError) &&
        manifestError.message.empty()) {
        std::abort();  // a refusal always says why
    }

    std::string error;

    const std::string path = workFolder() + "/input.kx1";
    writeFile(path, bytes.data(), bytes.size());
    for (const auto expect : {Packaging::PackageReader::Expect::automatic,
                              Packaging::PackageReader::Expect::installedRecord}) {
        Packaging::PackageReader reader;
        if (!reader.open(path, error, expect)) {
            continue;
        }
        if (reader.tableEnd() + Boot::signatureBlockSize > reader.fileSize()) {
            std::abort();  // an accepted table and signature lie within the file
        }
        static_cast<void>(Packaging::PackageReport::text(reader, path));
        static_cast<void>(Packaging::PackageReport::json(reader, path));
        for (std::size_t index = 0; index <= reader.entries().size(); ++index) {
            std::uint64_t received = 0;
            const bool read = reader.readComponent(
                index,
                [&received](std::span<const char> piece) {
                    received += piece.size();
                    return true;
                },
                error);
            if (read && received != reader.entries()[index].size) {
                std::abort();
            }
        }
    }
    return 0;
}
