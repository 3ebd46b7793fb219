// Feeds arbitrary bytes to the installed-record reader, then writes the record back from a
// loaded package and reads it again: the versions must survive the round trip.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "boot/InstallPackage.h"
#include "boot/PackageFormat.h"
#include "fuzz/FuzzSupport.h"

using FuzzSupport::workFolder;
using FuzzSupport::writeFile;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    FuzzSupport::makeWorkFolder("record");
    // The record writer creates folders only beneath the unit root.
    setenv("UNIT_ROOT", workFolder().c_str(), 1);
    // A package without components: enough for the record to be written.
    Boot::PackageHeader header;
    header.setMagic(Boot::packageMagic);
    writeFile(workFolder() + "/package.kx1", header.bytes.data(), header.bytes.size());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string inputPath = workFolder() + "/input.kx1";
    const std::string outputPath = workFolder() + "/data/installed.kx1";
    writeFile(inputPath, data, size);

    const Boot::InstallPackage::InstalledVersions versions =
        Boot::InstallPackage(inputPath).installed();
    std::filesystem::remove(outputPath);
    Boot::InstallPackage writer(outputPath);
    for (const auto& [type, version] : versions) {
        writer.setInstalledVersion(type, version);
    }
    if (writer.load(workFolder() + "/package.kx1").magic() != Boot::packageMagic ||
        !writer.writeInstalledRecord() ||
        Boot::InstallPackage(outputPath).installed() != versions) {
        std::abort();
    }
    return 0;
}
