// Measures the package checksum over one buffer of pseudo-random bytes against GNU cksum, which
// runs the same polynomial most-significant bit first, and checks that the two agree.
//
//   crc32_bench [SIZE]    SIZE in bytes, or with a K, M or G suffix (powers of 1024); default 1G
//
// Exit status: 0 when every path and cksum agree, 1 when they do not, 2 when the run failed.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "CoreSystem/CRC32.h"
#include "CoreSystem/Console.h"
#include "platform/Clock.h"
#include "platform/Process.h"

namespace {

using BenchSupport::parseSize;
using BenchSupport::timed;
using CoreSystem::Console;
using CoreSystem::CRC32;
using Duration = Platform::Clock::Duration;

constexpr int rounds = 5;
constexpr std::size_t defaultSize = std::size_t{1} << 30U;

// The same bytes on every run.
std::vector<std::uint8_t> pseudoRandomBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    BenchSupport::SplitMix64 random(0x243F6A8885A308D3);
    for (std::size_t index = 0; index < count; index += sizeof(std::uint64_t)) {
        const std::uint64_t word = random.next();
        for (std::size_t byte = 0; byte < sizeof word && index + byte < count; ++byte) {
            bytes[index + byte] = static_cast<std::uint8_t>(word >> (8 * byte));
        }
    }
    return bytes;
}

double gigabytesPerSecond(std::size_t bytes, Duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return static_cast<double>(bytes) / seconds / 1e9;
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
std::optional<std::string> writeTemporaryFile(const std::vector<std::uint8_t>& bytes) {
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

// The checksum and size cksum printed for `dataPath` into `outputPath`.
std::optional<CksumLine> readCksumLine(const std::string& outputPath, const std::string& dataPath) {
    std::ifstream printed(outputPath);
    CksumLine line;
    std::string name;
    if (!(printed >> line.crc >> line.size >> name) || name != dataPath) {
        return std::nullopt;
    }
    return line;
}

int benchmark(std::size_t size) {
    Console::printf("buffer: %zu bytes of pseudo-random data; GB/s = 10^9 bytes per second\n",
                    size);
    const std::vector<std::uint8_t> buffer = pseudoRandomBytes(size);
    const std::optional<std::string> dataPath = writeTemporaryFile(buffer);
    if (!dataPath) {
        Console::print("could not write the buffer to a file under /tmp\n");
        return 2;
    }
    const TemporaryFile dataFile(*dataPath);
    const TemporaryFile cksumOutput(*dataPath + ".sum");
    const std::string cksumCommand = "cksum " + dataFile.path() + " > " + cksumOutput.path();
    bool cksumSucceeded = true;
    const auto runCksum = [&] {
        const int status = Platform::Process::system(cksumCommand);
        cksumSucceeded = cksumSucceeded && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    // Untimed: loads the program and leaves every page of the file in the page cache.
    runCksum();

    const CRC32 crc;
    std::uint32_t fastestRegister = 0;
    const auto runFastest = [&] { fastestRegister = crc.update(0, buffer.data(), buffer.size()); };
    // Alternating the two keeps a passing load on the machine from favouring either.
    Duration fastest = Duration::max();
    Duration cksum = Duration::max();
    for (int round = 0; round < rounds; ++round) {
        fastest = std::min(fastest, timed(runFastest));
        cksum = std::min(cksum, timed(runCksum));
    }
    std::uint32_t slicingRegister = 0;
    const Duration slicing =
        timed([&] { slicingRegister = CRC32::updateSlicing(0, buffer.data(), buffer.size()); });

    const std::optional<CksumLine> printed = readCksumLine(cksumOutput.path(), dataFile.path());
    if (!cksumSucceeded || !printed) {
        Console::print("cksum did not run or printed something unexpected\n");
        return 2;
    }

#if defined(__x86_64__)
    const char* fastestName =
        CRC32::carrylessMultiplySupported() ? "carry-less multiply" : "slicing-by-8";
#else
    const char* fastestName = "slicing-by-8";
#endif
    Console::printf("CRC32 in memory, update (%s), best of %d: %.2f GB/s\n", fastestName, rounds,
                    gigabytesPerSecond(size, fastest));
    Console::printf("CRC32 in memory, slicing-by-8, one run: %.2f GB/s\n",
                    gigabytesPerSecond(size, slicing));
    Console::printf(
        "GNU cksum, `cksum FILE` with FILE under /tmp in the page cache, whole process timed "
        "(start-up and reads included), best of %d: %.2f GB/s\n",
        rounds, gigabytesPerSecond(size, cksum));
    Console::printf("ratio update / cksum: %.2f\n",
                    std::chrono::duration<double>(cksum).count() /
                        std::chrono::duration<double>(fastest).count());

    const std::uint32_t expected = cksumValue(fastestRegister, size);
    const bool agrees =
        slicingRegister == fastestRegister && printed->crc == expected && printed->size == size;
    Console::printf("check: cksum printed %u %llu, expected %u %zu; slicing register %s: %s\n",
                    printed->crc, static_cast<unsigned long long>(printed->size), expected, size,
                    slicingRegister == fastestRegister ? "the same" : "differs",
                    agrees ? "agree" : "MISMATCH");
    Console::printf("result crc_s=%.6f cksum_s=%.6f crc_ratio=%.4f\n",
                    std::chrono::duration<double>(fastest).count(),
                    std::chrono::duration<double>(cksum).count(),
                    std::chrono::duration<double>(fastest).count() /
                        std::chrono::duration<double>(cksum).count());
    return agrees ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<std::size_t> size = argc == 2 ? parseSize(argv[1]) : defaultSize;
    if (argc > 2 || !size) {
        Console::print("usage: crc32_bench [SIZE]   SIZE in bytes, or with a K, M or G suffix\n");
        return 2;
    }
    return benchmark(*size);
}
