#include "TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CoreSystem/CRC32.h"
#include "platform/File.h"
#include "sim/common/FactoryData.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TestSupport {

TemporaryUnitRoot::TemporaryUnitRoot() : TemporaryUnitRoot(std::string_view()) {}

TemporaryUnitRoot::TemporaryUnitRoot(std::string_view name) {
    std::string pattern = "/tmp/ur-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary unit root");
    }
    folder_ = pattern;
    path_ = folder_;
    if (!name.empty()) {
        path_.append("/").append(name);
        std::filesystem::create_directory(path_);
    }
    if (const char* previous = std::getenv("UNIT_ROOT"); previous != nullptr) {
        previousRoot_ = previous;
        hadPreviousRoot_ = true;
    }
    setenv("UNIT_ROOT", path_.c_str(), 1);
}

TemporaryUnitRoot::~TemporaryUnitRoot() {
    if (hadPreviousRoot_) {
        setenv("UNIT_ROOT", previousRoot_.c_str(), 1);
    } else {
        unsetenv("UNIT_ROOT");
    }
    std::error_code error;
    // Tests may leave read-only folders behind; make them removable first.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_, error)) {
        if (entry.is_directory(error) && !entry.is_symlink(error)) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, error);
        }
    }
    std::filesystem::remove_all(folder_, error);
}

std::string TemporaryUnitRoot::prepare(std::string_view unitPath) const {
    std::string host = path_ + std::string(unitPath);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    return host;
}

void TemporaryUnitRoot::writeFile(std::string_view unitPath, std::string_view contents) const {
    writeHostFile(prepare(unitPath), contents);
}

std::string TemporaryUnitRoot::readFile(std::string_view unitPath) const {
    return readHostFile(path_ + std::string(unitPath));
}

PathPrefix::PathPrefix(const std::string& folder) {
    if (const char* path = std::getenv("PATH"); path != nullptr) {
        previousPath_ = path;
    }
    setenv("PATH", (folder + ":" + previousPath_).c_str(), 1);
}

PathPrefix::~PathPrefix() {
    setenv("PATH", previousPath_.c_str(), 1);
}

std::string readHostFile(const std::string& hostPath) {
    std::ifstream file(hostPath, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::uint32_t packageCrc(std::string_view bytes) {
    const CoreSystem::CRC32 checksum;
    return checksum.update(checksum.startValue(CoreSystem::CRC32::packageSeed), bytes.data(),
                           bytes.size());
}

std::vector<std::uint8_t> makeWords(std::size_t size,
                                    const std::map<std::size_t, std::uint32_t>& words,
                                    std::size_t covered, std::size_t crcOffset, bool crcMatches) {
    return Sim::FactoryData::words(size, words, covered, crcOffset, crcMatches);
}

std::vector<std::uint8_t> makeBlock1(const std::map<std::size_t, std::uint32_t>& words) {
    return Sim::FactoryData::block1(words);
}

void writeHostFile(const std::string& hostPath, std::string_view contents) {
    // Closed on exec: a program that another thread of the test starts meanwhile must not keep
    // the file open for writing, or running the file (a script) fails with "Text file busy".
    Platform::File file = Platform::File::openForWriting(
        hostPath, Platform::File::Existing::truncated, Platform::File::Links::followed, 0666);
    if (!file.isOpen() || !file.writeAll(contents.data(), contents.size()) || !file.close()) {
        throw std::runtime_error("cannot write " + hostPath);
    }
}

namespace {

// Whether a process of the group still runs. Ended processes that nobody has reaped yet (the
// container's first process may reap orphans late) still count as members for kill(), so the
// process table is read instead.
bool groupHasLiveMembers(int groupId) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        // pid (name) state ppid pgrp ...: the name may hold blanks, so read after its ')'.
        std::istringstream fields(line.substr(line.rfind(')') + 1));
        char state = 0;
        int parent = 0;
        int group = 0;
        if (fields >> state >> parent >> group && group == groupId && state != 'Z') {
            return true;
        }
    }
    return false;
}

}  // namespace

void ProcessGroup::end() {
    if (id_ <= 0) {
        return;
    }
    kill(-id_, SIGTERM);
    constexpr int pollMilliseconds = 20;
    for (int waited = 0; waited < 2000 && groupHasLiveMembers(id_); waited += pollMilliseconds) {
        usleep(pollMilliseconds * 1000);
    }
    kill(-id_, SIGKILL);
    id_ = 0;
}

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& scratchFolder, ProcessGroup* group) {
    const std::string out = scratchFolder + "/program.out";
    const std::string err = scratchFolder + "/program.err";
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (group != nullptr) {
        // A group whose programs have all ended is gone; the next program founds it again.
        if (group->id() != 0 && !groupHasLiveMembers(group->id())) {
            group->joined(0);
        }
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, group->id());
    }
    pid_t child = 0;
    ProgramRun run;
    int status = 0;
    const bool spawned =
        posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ) == 0;
    if (spawned && group != nullptr && group->id() == 0) {
        group->joined(child);
    }
    if (spawned && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    run.out = readHostFile(out);
    run.err = readHostFile(err);
    return run;
}

}  // namespace TestSupport
