#include "CoreSystem/HardwareManager.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/CRC32.h"
#include "CoreSystem/Utilities.h"
#include "platform/Device.h"
#include "platform/DeviceCommands.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/PhysicalMemory.h"
#include "platform/SystemLog.h"
#include "platform/UnitRoot.h"
#include "platform/Waitfor.h"

namespace CoreSystem::Hardware {
namespace {

constexpr int logCode = 12345;
constexpr int logSeverity = 6;

constexpr std::size_t blockSize = 256;
constexpr std::uint32_t emptyNumber = 0xFFFFFFFF;
// Block 2 keeps its CRC word right after the covered bytes, inside the block.
constexpr std::uint32_t block2MaximumCount = 248;

constexpr std::uint64_t bootParameterAddress = 0xE63C0000;
constexpr std::size_t bootParameterWords = 20;
constexpr std::size_t bootParameterSize = bootParameterWords * 4;
constexpr std::uint32_t bootParameterMagic = 0x1234AA55;

constexpr std::uint32_t pmicAddress = 0x5A;
constexpr std::uint64_t m2ResetRegister = 0xE6050008;
constexpr std::uint32_t m2ResetBit = 0x100;
constexpr std::uint64_t imx35ResetRegister = 0x53FDC000;

constexpr int dataPartitionWaitMilliseconds = 3000;

constexpr const char* iplControlPath = "/dev/iplctl";
constexpr const char* i2cPath = "/dev/i2c6";
constexpr const char* dataPartitionPath = "/fs/etfs/";
constexpr const char* startScriptPath = "/fs/etfs/app/start.sh";
constexpr const char* formattedMarkerPath = "/fs/etfs/formatted";
constexpr const char* bootCountPath = "/fs/etfs/bootCount.bin";

// Process-wide state, each group under its own mutex.
struct State {
    std::mutex familyMutex;
    bool familyKnown = false;
    int family = Manager::familyUnknown;

    std::mutex iplMutex;
    Platform::Device iplDevice;

    // Also guards the cache that the requests fill, so each block is fetched once.
    std::mutex deviceControlMutex;
    std::map<DataBlockEnum, std::vector<std::uint8_t>> dataBlockCache;

    std::mutex bootParameterMutex;
    Platform::PhysicalMemory bootParameterArea;  // mapped only once it proved valid

    std::mutex bootCountMutex;
    std::uint32_t bootCount = 0;

    std::mutex shutdownMutex;
    std::mutex dataPartitionMutex;
};

State& state() {
    static State instance;
    return instance;
}

std::uint32_t wordAt(const std::uint8_t* bytes, std::size_t offset) {
    return ByteOrder::loadLittleEndian32(bytes + offset);
}

std::uint32_t word(const std::uint8_t* bytes, std::size_t index) {
    return wordAt(bytes, index * 4);
}

std::uint32_t packageCrc(const std::uint8_t* bytes, std::size_t count) {
    const CRC32 crc;
    return crc.update(crc.startValue(CRC32::packageSeed), bytes, count);
}

// The first candidate word that is not empty, or 0.
std::uint32_t firstNumber(const std::uint8_t* words, std::initializer_list<std::size_t> indices) {
    for (const std::size_t index : indices) {
        if (const std::uint32_t value = word(words, index); value != emptyNumber) {
            return value;
        }
    }
    return 0;
}

// The lowest byte of a fall-back word that is not 0xFF, or 0.
std::uint32_t fallbackByte(std::uint32_t value) {
    for (unsigned shift = 0; shift < 32; shift += 8) {
        if (const std::uint32_t byte = (value >> shift) & 0xFFU; byte != 0xFF) {
            return byte;
        }
    }
    return 0;
}

// Word `blockWord` of a valid block 1, else the fall-back byte of boot-parameter word
// `parameterWord`; 0 outside 1..maximum.
std::uint32_t boardCode(std::size_t blockWord, std::size_t parameterWord, std::uint32_t maximum) {
    std::uint32_t value = 0;
    const std::vector<std::uint8_t> block = Manager::readDataBlock(DataBlockEnum::block1);
    if (Manager::isDataBlockValid(DataBlockEnum::block1, block)) {
        value = word(block.data(), blockWord);
    } else if (const std::uint8_t* parameters = Manager::bootParameters(); parameters != nullptr) {
        value = fallbackByte(word(parameters, parameterWord));
    }
    return value >= 1 && value <= maximum ? value : 0;
}

// Part number (block word 0, else boot-parameter words 4, 6) or serial number (block words 1,
// 3, 5, else boot-parameter words 5, 7, 9).
std::uint32_t boardNumber(std::initializer_list<std::size_t> blockWords,
                          std::initializer_list<std::size_t> parameterWords) {
    const std::vector<std::uint8_t> block = Manager::readDataBlock(DataBlockEnum::block1);
    if (Manager::isDataBlockValid(DataBlockEnum::block1, block)) {
        return firstNumber(block.data(), blockWords);
    }
    const std::uint8_t* parameters = Manager::bootParameters();
    return parameters != nullptr ? firstNumber(parameters, parameterWords) : 0;
}

// One register write of the power-management IC: an I2C send request carrying the register
// and the value. Returns 0 or the driver's errno value.
int writePmicRegister(Platform::Device& i2c, std::uint8_t reg, std::uint8_t value) {
    const Platform::DeviceCommands::I2cSendHeader header{
        .slaveAddress = pmicAddress,
        .addressFormat = Platform::DeviceCommands::i2cAddressFormat7Bit,
        .length = 2,
        .stop = 1};
    std::array<std::uint8_t, sizeof header + 2> request{};
    std::memcpy(request.data(), &header, sizeof header);
    request[sizeof header] = reg;
    request[sizeof header + 1] = value;
    return i2c.devctl(Platform::DeviceCommands::i2cSend, request.data(), request.size());
}

void shutdownM2() {
    Platform::SystemLog::write(logCode, logSeverity, "HardwareManager: Shutdown M2");
    Platform::Device i2c = Platform::Device::open(Platform::UnitRoot::hostPath(i2cPath));
    struct PmicWrite {
        std::uint8_t reg;
        std::uint8_t value;
        const char* done;
    };
    static constexpr std::array<PmicWrite, 2> writes{{
        {0x11, 0x69, "HardwareManager: M2 PMIC Watchdog Enabled"},
        {0x13, 0x01, "HardwareManager: M2 PMIC Watchdog Timer Reset"},
    }};
    for (const PmicWrite& pmicWrite : writes) {
        if (writePmicRegister(i2c, pmicWrite.reg, pmicWrite.value) == 0) {
            Platform::SystemLog::write(logCode, logSeverity, pmicWrite.done);
        } else {
            Platform::SystemLog::writef(
                logCode, logSeverity,
                "HardwareManager: M2 PMIC i2c_write failed: reg = %x data = %x", pmicWrite.reg,
                pmicWrite.value);
        }
    }
    Platform::PhysicalMemory reset = Platform::PhysicalMemory::map(m2ResetRegister, 4, true);
    if (reset.isMapped()) {
        reset.write32(0, reset.read32(0) & ~m2ResetBit);
    }
}

void shutdownIMX35() {
    Platform::SystemLog::write(logCode, logSeverity, "HardwareManager: Shutdown iMX35");
    Platform::PhysicalMemory reset = Platform::PhysicalMemory::map(imx35ResetRegister, 2, true);
    if (reset.isMapped()) {
        reset.write16(0, 0);
    }
}

// The counter as four little-endian bytes, or 0 when the file is missing or short.
std::uint32_t readBootCountFile(const std::string& hostPath) {
    // A link in the counter's place is not followed, and a named pipe does not stall the read.
    Platform::File file = Platform::File::openForReading(hostPath, Platform::File::Links::refused);
    if (!file.isOpen()) {
        return 0;
    }
    std::array<std::uint8_t, 4> bytes{};
    const long count = file.read(bytes.data(), bytes.size());
    return count == static_cast<long>(bytes.size()) ? wordAt(bytes.data(), 0) : 0;
}

// Replaces the counter file, so that a power cut leaves either the old or the new count.
bool replaceBootCountFile(const std::string& hostPath, std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    ByteOrder::storeLittleEndian32(bytes.data(), value);
    return Utilities::replaceFile(hostPath, bytes);
}

// The counter, read from its file while it is still 0. Call with the boot-count mutex held.
std::uint32_t loadedBootCount(State& shared) {
    if (shared.bootCount == 0) {
        shared.bootCount = readBootCountFile(Platform::UnitRoot::hostPath(bootCountPath));
    }
    return shared.bootCount;
}

}  // namespace

int Manager::deviceFamily() {
    State& shared = state();
    const std::lock_guard lock(shared.familyMutex);
    if (!shared.familyKnown) {
        const char* value = std::getenv("DEVICEFAMILY");
        const std::string_view name = value != nullptr ? value : "";
        shared.family = name == "M2" ? familyM2 : name == "iMX35" ? familyIMX35 : familyUnknown;
        shared.familyKnown = true;
    }
    return shared.family;
}

bool Manager::isM2() {
    return deviceFamily() == familyM2;
}

const std::uint8_t* Manager::bootParameters() {
    State& shared = state();
    const std::lock_guard lock(shared.bootParameterMutex);
    if (shared.bootParameterArea.isMapped()) {
        return shared.bootParameterArea.data();
    }
    if (!isM2()) {
        return nullptr;
    }
    Platform::PhysicalMemory area =
        Platform::PhysicalMemory::map(bootParameterAddress, bootParameterSize, false);
    if (!area.isMapped()) {
        return nullptr;
    }
    const std::uint8_t* bytes = area.data();
    const std::uint32_t count = word(bytes, 1);
    if (word(bytes, 0) != bootParameterMagic || count >= bootParameterWords ||
        packageCrc(bytes, std::size_t{count} * 4) != word(bytes, bootParameterWords - 1)) {
        return nullptr;
    }
    shared.bootParameterArea = std::move(area);
    return shared.bootParameterArea.data();
}

int Manager::iplControlHandle() {
    State& shared = state();
    const std::lock_guard lock(shared.iplMutex);
    if (!shared.iplDevice.isOpen() && isM2()) {
        shared.iplDevice = Platform::Device::open(Platform::UnitRoot::hostPath(iplControlPath));
    }
    return shared.iplDevice.nativeHandle();
}

std::size_t Manager::dataBlockSize(DataBlockEnum kind) {
    switch (kind) {
        case DataBlockEnum::block1:
        case DataBlockEnum::block2:
        case DataBlockEnum::block3:
            return blockSize;
    }
    return 0;
}

std::vector<std::uint8_t> Manager::readDataBlock(DataBlockEnum kind) {
    State& shared = state();
    std::vector<std::uint8_t> block;
    {
        const std::lock_guard lock(shared.deviceControlMutex);
        if (const auto cached = shared.dataBlockCache.find(kind);
            cached != shared.dataBlockCache.end()) {
            return cached->second;
        }
        block.assign(dataBlockSize(kind), 0);
        if (block.empty() || !isM2() || iplControlHandle() < 0 ||
            shared.iplDevice.devctl(
                Platform::DeviceCommands::iplReadDataBlock(static_cast<int>(kind)), block.data(),
                block.size()) != 0) {
            return {};
        }
        shared.dataBlockCache.emplace(kind, block);
    }
    std::this_thread::yield();
    return block;
}

bool Manager::isDataBlockValid(DataBlockEnum kind, const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != dataBlockSize(kind) || !isM2()) {
        return false;
    }
    switch (kind) {
        case DataBlockEnum::block1:
            return packageCrc(bytes.data(), blockSize - 4) == word(bytes.data(), 63);
        case DataBlockEnum::block2: {
            const std::uint32_t count = word(bytes.data(), 0);
            return count <= block2MaximumCount &&
                   packageCrc(bytes.data(), count) == wordAt(bytes.data(), count);
        }
        case DataBlockEnum::block3:
            return true;
    }
    return false;
}

std::uint32_t Manager::displayType() {
    return boardCode(8, 12, 12);
}

std::uint32_t Manager::variantCode() {
    return boardCode(9, 13, 2);
}

std::uint32_t Manager::partNumber() {
    return boardNumber({0}, {4, 6});
}

std::uint32_t Manager::serialNumber() {
    return boardNumber({1, 3, 5}, {5, 7, 9});
}

void Manager::shutdown() {
    const std::lock_guard lock(state().shutdownMutex);
    switch (deviceFamily()) {
        case familyM2:
            shutdownM2();
            break;
        case familyIMX35:
            shutdownIMX35();
            break;
        default:
            break;
    }
}

std::uint32_t Manager::getBootCount() {
    State& shared = state();
    const std::lock_guard lock(shared.bootCountMutex);
    return loadedBootCount(shared);
}

void Manager::incrementBootCount() {
    State& shared = state();
    const std::lock_guard lock(shared.bootCountMutex);
    const std::uint32_t next = loadedBootCount(shared) + 1;
    if (replaceBootCountFile(Platform::UnitRoot::hostPath(bootCountPath), next)) {
        shared.bootCount = next;
    }
}

bool Manager::checkDataPartition() {
    const std::lock_guard lock(state().dataPartitionMutex);
    // A partition that has not come up by then fails the checks below.
    static_cast<void>(Platform::waitfor(Platform::UnitRoot::hostPath(dataPartitionPath),
                                        dataPartitionWaitMilliseconds));
    if (Utilities::exists(Platform::UnitRoot::hostPath(startScriptPath))) {
        return true;
    }
    const std::string marker = Platform::UnitRoot::hostPath(formattedMarkerPath);
    {
        Platform::File file = Platform::File::openForWriting(
            marker, Platform::File::Existing::truncated, Platform::File::Links::followed, 0644);
        if (!file.isOpen()) {
            return false;
        }
        // Creating the marker is the test; whether it exists afterwards decides, not whether its
        // text was written, synced or removed again.
        constexpr std::string_view text = "Format Completed\n";
        static_cast<void>(file.writeAll(text.data(), text.size()));
        static_cast<void>(file.sync());
    }
    if (!Utilities::exists(marker)) {
        return false;
    }
    static_cast<void>(Platform::FileSystem::removeFile(marker));
    return true;
}

void Manager::resetCachedState() {
    State& shared = state();
    {
        const std::lock_guard lock(shared.familyMutex);
        shared.familyKnown = false;
        shared.family = familyUnknown;
    }
    {
        // In the order readDataBlock takes them: requests use the handle outside its mutex.
        const std::lock_guard requests(shared.deviceControlMutex);
        const std::lock_guard handle(shared.iplMutex);
        shared.dataBlockCache.clear();
        shared.iplDevice.close();
    }
    {
        const std::lock_guard lock(shared.bootParameterMutex);
        shared.bootParameterArea.unmap();
    }
    {
        const std::lock_guard lock(shared.bootCountMutex);
        shared.bootCount = 0;
    }
}

}  // namespace CoreSystem::Hardware
