#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

// A fresh unit root under /tmp for one test, named in UNIT_ROOT while it lives (the previous
// value comes back afterwards) and removed with everything in it at the end. Short, because
// socket paths beneath it must fit 107 bytes.
class TemporaryUnitRoot {
public:
    TemporaryUnitRoot();
    // A unit root called `name` inside a fresh folder under /tmp (folder()), so that a test can
    // put things beside the root, where a path cut short at a blank would end up.
    explicit TemporaryUnitRoot(std::string_view name);
    TemporaryUnitRoot(const TemporaryUnitRoot&) = delete;
    TemporaryUnitRoot& operator=(const TemporaryUnitRoot&) = delete;
    TemporaryUnitRoot(TemporaryUnitRoot&&) = delete;
    TemporaryUnitRoot& operator=(TemporaryUnitRoot&&) = delete;
    ~TemporaryUnitRoot();

    const std::string& path() const { return path_; }
    // What the test owns and removes at the end: the root itself, or the folder holding it.
    const std::string& folder() const { return folder_; }
    // The host path of a unit path, creating its parent folders.
    std::string prepare(std::string_view unitPath) const;
    void writeFile(std::string_view unitPath, std::string_view contents) const;
    std::string readFile(std::string_view unitPath) const;

private:
    std::string folder_;
    std::string path_;
    std::string previousRoot_;
    bool hadPreviousRoot_ = false;
};

// Puts `folder` first on PATH while it lives; the previous PATH comes back afterwards.
class PathPrefix {
public:
    explicit PathPrefix(const std::string& folder);
    PathPrefix(const PathPrefix&) = delete;
    PathPrefix& operator=(const PathPrefix&) = delete;
    PathPrefix(PathPrefix&&) = delete;
    PathPrefix& operator=(PathPrefix&&) = delete;
    ~PathPrefix();

private:
    std::string previousPath_;
};

std::string readHostFile(const std::string& hostPath);
// The package CRC-32 of `bytes`, as a component entry carries it for its data.
std::uint32_t packageCrc(std::string_view bytes);
// Factory data: 32-bit little-endian words (index -> value) over erased (0xFF) bytes, with the
// package checksum of the first `covered` bytes at `crcOffset`, flipped when it must not match.
std::vector<std::uint8_t> makeWords(std::size_t size,
                                    const std::map<std::size_t, std::uint32_t>& words,
                                    std::size_t covered, std::size_t crcOffset,
                                    bool crcMatches = true);
// A valid factory data block 1 holding the given words.
std::vector<std::uint8_t> makeBlock1(const std::map<std::size_t, std::uint32_t>& words);
void writeHostFile(const std::string& hostPath, std::string_view contents);

// What a program run by `runProgram` left: its exit status (-1 when it did not exit normally)
// and everything it wrote to standard output and standard error.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// A process group of its own for the programs a test runs, so that stand-ins which go on in the
// background can be ended with it: SIGTERM to the whole group at the end, SIGKILL to what is
// left after two seconds. The first program run in it founds the group.
class ProcessGroup {
public:
    ProcessGroup() = default;
    ProcessGroup(const ProcessGroup&) = delete;
    ProcessGroup& operator=(const ProcessGroup&) = delete;
    ProcessGroup(ProcessGroup&&) = delete;
    ProcessGroup& operator=(ProcessGroup&&) = delete;
    ~ProcessGroup() { end(); }

    // 0 until the first program ran.
    int id() const { return id_; }
    void joined(int id) { id_ = id; }
    void end();

private:
    int id_ = 0;
};

// Runs `program` with `arguments` (no shell), its output captured through files in
// `scratchFolder`, and waits for it; in `group` when one is given.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const std::string& scratchFolder, ProcessGroup* group = nullptr);

}  // namespace TestSupport
