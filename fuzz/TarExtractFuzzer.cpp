// The input bytes are an archive range handed to ArchiveManager::extract, which unpacks them into
// a fresh unit root below /tmp. Besides the sanitizers, the run stops when a member lands beside
// the destination folder, when progress runs past the declared size, or when a clean extraction
// skipped a member or returned a CRC that does not cover every input byte.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "CoreSystem/ArchiveManager.h"
#include "CoreSystem/CRC32.h"
#include "TestSupport.h"

namespace {

struct Observed {
    std::uint32_t size = 0;
    std::size_t started = 0;
    std::size_t finished = 0;
};

void checkProgress(std::uint32_t total, std::uint32_t done, void* context) {
    if (total != static_cast<Observed*>(context)->size || done > total) {
        std::abort();
    }
}

void countStarted(const char* path, void* context) {
    if (path == nullptr) {
        std::abort();
    }
    ++static_cast<Observed*>(context)->started;
}

void countFinished(const char* path, void* context) {
    if (path == nullptr) {
        std::abort();
    }
    ++static_cast<Observed*>(context)->finished;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TestSupport::TemporaryUnitRoot root;
    const std::string destination = root.path() + "/dest/";
    std::filesystem::create_directory(destination);

    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    CoreSystem::ArchiveManager manager(stream, 0, size);
    Observed observed{.size = static_cast<std::uint32_t>(size)};
    const std::uint32_t crc = manager.extract(true, destination.c_str(), checkProgress,
                                              countStarted, countFinished, &observed);

    for (const auto& entry : std::filesystem::directory_iterator(root.path())) {
        if (entry.path().filename() != "dest") {
            std::abort();  // written outside the destination
        }
    }
    if (observed.finished > observed.started) {
        std::abort();
    }
    if (manager.status() == CoreSystem::ArchiveStatus::clean) {
        const CoreSystem::CRC32 calculator;
        if (observed.finished != observed.started ||
            crc != calculator.update(calculator.startValue(CoreSystem::CRC32::packageSeed), data,
                                     size)) {
            std::abort();
        }
    }
    return 0;
}
