// The input bytes are an application archive, extracted by an installer with the callbacks every
// archive installer uses (progress, the install log's member lines, the write-back start of each
// file) into the data root of a fresh unit root below /tmp. Besides the sanitizers, the run stops
// when the extraction changed anything beside the unit root, left a symbolic link under it that
// leads out of it, created anything but files, folders and links, reported progress outside the
// component's share, or called a clean extraction what skipped a member.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>

#include "TestSupport.h"
#include "boot/ComponentInstallerBase.h"

namespace {

constexpr float startPercent = 10.0F;
constexpr float sharePercent = 80.0F;

class ExtractingInstaller final : public Boot::ComponentInstallerBase {
public:
    explicit ExtractingInstaller(std::string destination) : destination_(std::move(destination)) {}

    Boot::InstallStatus install(const Boot::ComponentEntry& entry, std::istream& stream,
                                Boot::InstallLog& /*installLog*/) override {
        progressText = "Extracting...";
        return extractArchive(entry, stream, destination_);
    }

private:
    std::string destination_;
};

class CheckingInterface final : public Boot::InstallUserInterface {
public:
    void reportProgress(int percent, const std::string& /*text*/) override {
        if (percent < static_cast<int>(startPercent) ||
            percent > static_cast<int>(startPercent + sharePercent)) {
            std::abort();
        }
    }
    std::string requestPassword() override { return {}; }
};

bool isBeneath(const std::filesystem::path& path, const std::filesystem::path& folder) {
    const std::filesystem::path relative = path.lexically_relative(folder);
    return !relative.empty() && !relative.native().starts_with("..");
}

// Whatever a link leads to, with every link on the way resolved; lexically when the links loop.
std::filesystem::path destinationOf(const std::filesystem::path& link) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(link, error);
    if (error) {
        resolved = (link.parent_path() / std::filesystem::read_symlink(link)).lexically_normal();
    }
    return resolved;
}

void checkTree(const std::filesystem::path& unitRoot) {
    const std::filesystem::path root = std::filesystem::canonical(unitRoot);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::filesystem::file_status status = entry.symlink_status();
        if (std::filesystem::is_symlink(status)) {
            if (!isBeneath(destinationOf(entry.path()), root) &&
                destinationOf(entry.path()) != root) {
                std::abort();  // a link leads out of the unit root
            }
        } else if (!std::filesystem::is_regular_file(status) &&
                   !std::filesystem::is_directory(status)) {
            std::abort();  // a device node, named pipe or socket was created
        }
    }
}

std::size_t linesStartingWith(const std::string& text, const std::string& start) {
    std::size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(start)) {
            ++count;
        }
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const TestSupport::TemporaryUnitRoot root("unit");
    const std::string beside = root.folder() + "/beside";
    TestSupport::writeHostFile(beside, "untouched");
    const std::string destination = root.path() + "/fs/etfs/";
    std::filesystem::create_directories(destination);

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream package(bytes);
    const Boot::ComponentEntry entry{
        .type = 4, .size = size, .offset = 0, .crc = TestSupport::packageCrc(bytes)};
    CheckingInterface interface;
    Boot::InstallLog log;
    log.open(root.path() + "/install.log");
    ExtractingInstaller installer(destination);
    const Boot::InstallStatus status =
        installer.run(&interface, entry, package, startPercent,
                      size == 0 ? 0.0F : sharePercent / static_cast<float>(size), &log);
    log.close();

    std::size_t besideRoot = 0;
    for (const auto& found : std::filesystem::directory_iterator(root.folder())) {
        ++besideRoot;
        if (found.path() != root.path() && found.path() != beside) {
            std::abort();  // written beside the unit root
        }
    }
    struct stat besideStatus {};
    if (besideRoot != 2 || TestSupport::readHostFile(beside) != "untouched" ||
        stat(beside.c_str(), &besideStatus) != 0 || besideStatus.st_nlink != 1) {
        std::abort();  // the file beside the unit root was changed or linked to
    }
    checkTree(root.path());

    const std::string lines = TestSupport::readHostFile(root.path() + "/install.log");
    const std::size_t started = linesStartingWith(lines, "  Begin Write: ");
    const std::size_t finished = linesStartingWith(lines, "  Completed Write: ");
    if (finished > started || (status == Boot::InstallStatus::success && finished != started)) {
        std::abort();
    }
    return 0;
}
