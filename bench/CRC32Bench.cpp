// The package checksum in memory: first checks that every path of it and GNU cksum (which runs
// the same polynomial most-significant bit first) agree on one buffer of pseudo-random bytes,
// then times each path with Google Benchmark over buffers from 64 bytes (factory data) through
// 64 KiB (the piece the loader reads a package in) to 64 MiB (far beyond the caches).
//
//   crc32_bench [SIZE] [--benchmark_...]
//
// SIZE is the size of the buffer checked against cksum, in bytes or with a K, M or G suffix
// (powers of 1024); default 64M. The --benchmark_ options are Google Benchmark's own
// (--benchmark_filter=REGEX, --benchmark_repetitions=N, --benchmark_format=json ...). The
// checksum of whole files against cksum as processes is a row of bench/run.
//
// Exit status: 0 when every path and cksum agree, 1 when they do not, 2 when the run failed.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "CoreSystem/CRC32.h"
#include "CoreSystem/Console.h"
#include "platform/Process.h"

namespace {

using BenchSupport::parseSize;
using CoreSystem::Console;
using CoreSystem::CRC32;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t defaultCheckSize = std::size_t{64} << 20U;
constexpr std::array<std::int64_t, 5> timedSizes = {64, 4 << 10, 64 << 10, 1 << 20, 64 << 20};

// Every path this processor can run, and first "update", the one the loader takes.
std::vector<CRC32::Path> paths() {
    std::vector<CRC32::Path> found = {
        {"update", [](std::uint32_t crc, const void* bytes, std::size_t count) {
             return CRC32().update(crc, bytes, count);
         }}};
    for (const CRC32::Path& path : CRC32::paths()) {
        found.push_back(path);
    }
    return found;
}

// The same bytes on every run.
Bytes pseudoRandomBytes(std::size_t count) {
    Bytes bytes(count);
    BenchSupport::SplitMix64 random(0x243F6A8885A308D3);
    for (std::size_t index = 0; index < count; index += sizeof(std::uint64_t)) {
        const std::uint64_t word = random.next();
        for (std::size_t byte = 0; byte < sizeof word && index + byte < count; ++byte) {
            bytes[index + byte] = static_cast<std::uint8_t>(word >> (8 * byte));
        }
    }
    return bytes;
}

// What cksum prints for data whose register, started from 0, is `registerAfterData`: the
// length follows the data least significant byte first, in as few bytes as it needs, and the
// register is inverted at the end.
std::uint32_t cksumValue(std::uint32_t registerAfterData, std::uint64_t length) {
    std::uint32_t crc = registerAfterData;
    for (; length != 0; length >>= 8U) {
        const auto byte = static_cast<std::uint8_t>(length);
        crc = CRC32::updateReference(crc, &byte, 1);
    }
    return ~crc;
}

// A file under /tmp, removed with this object.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    TemporaryFile(TemporaryFile&&) = delete;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    ~TemporaryFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Creates a new file under /tmp holding `bytes`; its path, or nothing when that failed.
std::optional<std::string> writeTemporaryFile(const Bytes& bytes) {
    std::string path = "/tmp/crc32_bench_XXXXXX";
    const int descriptor = mkstemp(path.data());
    if (descriptor < 0) {
        return std::nullopt;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result <= 0) {
            close(descriptor);
            std::filesystem::remove(path);
            return std::nullopt;
        }
        written += static_cast<std::size_t>(result);
    }
    close(descriptor);
    return path;
}

struct CksumLine {
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
};

// What `cksum FILE` prints for the file, or nothing when it did not run or printed something
// else.
std::optional<CksumLine> runCksum(const std::string& dataPath) {
    const TemporaryFile output(dataPath + ".sum");
    const int status = Platform::Process::system("cksum " + dataPath + " > " + output.path());
    std::ifstream printed(output.path());
    CksumLine line;
    std::string name;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        !(printed >> line.crc >> line.size >> name) || name != dataPath) {
        return std::nullopt;
    }
    return line;
}

// Runs every path and cksum over `size` bytes and prints what each found.
int checkAgainstCksum(std::size_t size) {
    const Bytes buffer = pseudoRandomBytes(size);
    const std::optional<std::string> dataPath = writeTemporaryFile(buffer);
    if (!dataPath) {
        Console::print("could not write the buffer to a file under /tmp\n");
        return 2;
    }
    const TemporaryFile dataFile(*dataPath);
    const std::optional<CksumLine> printed = runCksum(dataFile.path());
    if (!printed) {
        Console::print("cksum did not run or printed something unexpected\n");
        return 2;
    }
    const std::uint32_t reference = CRC32::updateReference(0, buffer.data(), buffer.size());
    bool agree = printed->crc == cksumValue(reference, size) && printed->size == size;
    Console::printf("check over %zu bytes of pseudo-random data: cksum printed %u %llu, %s\n", size,
                    printed->crc, static_cast<unsigned long long>(printed->size),
                    agree ? "as expected" : "NOT as expected");
    for (const CRC32::Path& path : paths()) {
        const std::uint32_t found = path.update(0, buffer.data(), buffer.size());
        Console::printf("check: %s %s\n", path.name, found == reference ? "agrees" : "DIFFERS");
        agree = agree && found == reference;
    }
    return agree ? 0 : 1;
}

// The bytes every timed run reads from its start, made on first use.
const Bytes& timedBytes() {
    static const Bytes bytes = pseudoRandomBytes(static_cast<std::size_t>(timedSizes.back()));
    return bytes;
}

// Times the path of that name over the first state.range(0) bytes; a path that this processor
// lacks is skipped.
void checksum(benchmark::State& state, std::string_view name) {
    const std::vector<CRC32::Path> available = paths();
    const auto path = std::find_if(available.begin(), available.end(),
                                   [&](const CRC32::Path& known) { return known.name == name; });
    if (path == available.end()) {
        state.SkipWithError("this processor lacks it");
        return;
    }
    const Bytes& bytes = timedBytes();
    const auto count = static_cast<std::size_t>(state.range(0));
    std::uint32_t crc = 0;
    for ([[maybe_unused]] auto iteration : state) {
        crc = path->update(crc, bytes.data(), count);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void overTimedSizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgName("bytes");
    for (const std::int64_t size : timedSizes) {
        benchmark->Arg(size);
    }
}

BENCHMARK_CAPTURE(checksum, update, "update")->Apply(overTimedSizes);
BENCHMARK_CAPTURE(checksum, byte_table, "byte-table")->Apply(overTimedSizes);
BENCHMARK_CAPTURE(checksum, slicing_by_8, "slicing-by-8")->Apply(overTimedSizes);
BENCHMARK_CAPTURE(checksum, carry_less_multiply, "carry-less-multiply")->Apply(overTimedSizes);
BENCHMARK_CAPTURE(checksum, wide_carry_less_multiply, "wide-carry-less-multiply")
    ->Apply(overTimedSizes);

}  // namespace

int main(int argc, char* argv[]) {
    benchmark::Initialize(&argc, argv);
    const std::optional<std::size_t> size = argc == 2 ? parseSize(argv[1]) : defaultCheckSize;
    if (argc > 2 || !size) {
        std::fputs(
            "usage: crc32_bench [SIZE] [--benchmark_...]   SIZE in bytes, or with a K, M "
            "or G suffix\n",
            stderr);
        return 2;
    }
    if (const int checked = checkAgainstCksum(*size); checked != 0) {
        return checked;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
