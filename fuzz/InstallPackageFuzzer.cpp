// Feeds arbitrary bytes to the install package reader as a package file: load, signature, data
// check and component lookup must reject what does not hold up without crashing, reading out of
// bounds or allocating from the header's count.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "boot/InstallPackage.h"
#include "boot/InstallUserInterface.h"
#include "boot/LoaderKey.h"
#include "fuzz/FuzzSupport.h"

namespace {

class SilentUserInterface : public Boot::InstallUserInterface {
public:
    void reportProgress(int percent, const std::string& /*text*/) override {
        if (percent < 0 || percent > 100) {
            std::abort();
        }
    }
    std::string requestPassword() override { return {}; }
};

}  // namespace

using FuzzSupport::workFolder;
using FuzzSupport::writeFile;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    FuzzSupport::makeWorkFolder("package");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string packagePath = workFolder() + "/package.kx1";
    writeFile(packagePath, data, size);
    Boot::InstallPackage package(workFolder() + "/no-record.kx1");
    const Boot::PackageHeader header = package.load(packagePath);
    if (header.magic() == Boot::packageMagic && header.count() > 0) {
        // A loaded table is whole and lies within the file, with its signature block.
        const auto count = static_cast<std::size_t>(header.count());
        if (package.components().size() != count ||
            Boot::packageHeaderSize + Boot::componentEntrySize * count + Boot::signatureBlockSize >
                size) {
            std::abort();
        }
    }
    // Either answer of the checks is right for some input; they must only not crash.
    static_cast<void>(package.verifySignature(Boot::loaderKey()));
    SilentUserInterface userInterface;
    static_cast<void>(package.verifyComponentData(userInterface));
    std::istream* stream = nullptr;
    Boot::ComponentEntry entry;
    if (package.getComponent(0, stream, entry) && stream == nullptr) {
        std::abort();
    }
    if (package.getComponent(package.components().size(), stream, entry)) {
        std::abort();  // past the table
    }
    return 0;
}
