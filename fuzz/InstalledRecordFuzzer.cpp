// Feeds arbitrary bytes to the installed-record reader, then writes the record back from a
// loaded package and reads it again: the versions must survive the round trip.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "boot/InstallPackage.h"
#include "boot/PackageFormat.h"

namespace {

std::string& workFolder() {
    static std::string folder;
    return folder;
}

void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    std::string pattern = "/tmp/record-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    workFolder() = pattern;
    // The record writer creates folders only beneath the unit root.
    setenv("UNIT_ROOT", pattern.c_str(), 1);
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(workFolder(), error);
    });
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
    writer.load(workFolder() + "/package.kx1");
    if (!writer.writeInstalledRecord() ||
        Boot::InstallPackage(outputPath).installed() != versions) {
        std::abort();
    }
    return 0;
}
