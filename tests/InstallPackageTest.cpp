#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/CRC32.h"
#include "TestSupport.h"
#include "boot/InstallPackage.h"
#include "boot/LoaderKey.h"
#include "boot/PackageFormat.h"
#include "tools/PackageWriter.h"
#include "tools/RsaPublicKey.h"

namespace {

using Boot::ComponentEntry;
using Boot::InstallPackage;
using Boot::loaderKey;
using Boot::PackageHeader;
using CoreSystem::ByteOrder::storeLittleEndian32;

constexpr std::size_t tableOffset = Boot::packageHeaderSize;

class RecordingUserInterface : public Boot::InstallUserInterface {
public:
    void reportProgress(int percent, const std::string& text) override {
        percents.push_back(percent);
        EXPECT_EQ(text, "Verifying install package...");
    }
    std::string requestPassword() override { return {}; }

    std::vector<int> percents;
};

struct Component {
    std::uint32_t type = 0;
    std::uint32_t version = 0;
    std::string data;
};

std::uint32_t packageCrc(std::string_view bytes) {
    const CoreSystem::CRC32 crc;
    return crc.update(crc.startValue(CoreSystem::CRC32::packageSeed), bytes.data(), bytes.size());
}

std::string asText(const std::array<std::uint8_t, Boot::rsaBlockSize>& block) {
    return {block.begin(), block.end()};
}

// The installed record's 32-byte row: type, version, 24 zero bytes.
std::string recordRow(std::uint32_t type, std::uint32_t version) {
    std::string row(Boot::componentEntrySize, '\0');
    storeLittleEndian32(reinterpret_cast<std::uint8_t*>(row.data()), type);
    storeLittleEndian32(reinterpret_cast<std::uint8_t*>(row.data()) + 4, version);
    return row;
}

// An installed record: a header with its first word and count, rows, and a signature block.
std::string recordFile(std::uint32_t firstWord, std::uint32_t count, const std::string& rows,
                       bool withSignature) {
    std::string bytes(Boot::packageHeaderSize, '\0');
    storeLittleEndian32(reinterpret_cast<std::uint8_t*>(bytes.data()), firstWord);
    storeLittleEndian32(reinterpret_cast<std::uint8_t*>(bytes.data()) + 660, count);
    return bytes + rows + (withSignature ? std::string(Boot::signatureBlockSize, '\0') : "");
}

class InstallPackageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(key.isValid()) << key.problem(); }

    // Builds a signed package from the components and returns its host path.
    std::string writePackage(const std::vector<Component>& components,
                             Packaging::PackageDescription description = {}) {
        for (std::size_t index = 0; index < components.size(); ++index) {
            const std::string dataPath = "/work/component" + std::to_string(index);
            root.writeFile(dataPath, components[index].data);
            description.components.push_back({.type = components[index].type,
                                              .version = components[index].version,
                                              .path = root.path() + dataPath});
        }
        std::string error;
        EXPECT_TRUE(Packaging::PackageWriter::write(description, key, packagePath, error)) << error;
        return packagePath;
    }

    std::string packageBytes() const { return TestSupport::readHostFile(packagePath); }
    void replacePackage(const std::string& bytes) const {
        TestSupport::writeHostFile(packagePath, bytes);
    }
    void changeEntry(std::size_t index, const std::function<void(ComponentEntry&)>& change) const {
        std::string bytes = packageBytes();
        auto* row = reinterpret_cast<std::uint8_t*>(bytes.data() + tableOffset +
                                                    index * Boot::componentEntrySize);
        ComponentEntry entry = ComponentEntry::decode(
            std::span<const std::uint8_t, Boot::componentEntrySize>(row, Boot::componentEntrySize));
        change(entry);
        entry.encode(
            std::span<std::uint8_t, Boot::componentEntrySize>(row, Boot::componentEntrySize));
        replacePackage(bytes);
    }

    const TestSupport::TemporaryUnitRoot root;
    const Packaging::RsaPublicKey key =
        Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE);
    const std::string packagePath = root.prepare("/mnt/stick/package.kx1");
    const std::string recordPath = root.path() + "/fs/etfs/installed.kx1";
};

TEST_F(InstallPackageTest, LoadsVerifiesAndHandsOutTheComponentsOfASignedPackage) {
    writePackage({{.type = 4, .version = 2910247, .data = "application"},
                  {.type = 9, .version = 7, .data = "touch firmware"}},
                 {.hardwareFamily = 3, .flags = Boot::flagPasswordProtected});
    InstallPackage package(recordPath);
    const PackageHeader header = package.load(packagePath);
    EXPECT_EQ(header.magic(), Boot::packageMagic);
    EXPECT_EQ(header.hardwareFamily(), 3U);
    EXPECT_EQ(header.flags(), Boot::flagPasswordProtected);
    EXPECT_EQ(header.count(), 2);
    ASSERT_EQ(package.components().size(), 2U);
    EXPECT_TRUE(package.verifySignature(loaderKey()));
    RecordingUserInterface userInterface;
    EXPECT_TRUE(package.verifyComponentData(userInterface));
    EXPECT_EQ(userInterface.percents, (std::vector<int>{0, 44, 100}));

    std::istream* stream = nullptr;
    ComponentEntry entry;
    ASSERT_TRUE(package.getComponent(1, stream, entry));
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(entry.type, 9U);
    EXPECT_EQ(entry.version, 7U);
    std::string data(entry.size, '\0');
    stream->seekg(static_cast<std::streamoff>(entry.offset));
    stream->read(data.data(), static_cast<std::streamsize>(data.size()));
    EXPECT_EQ(data, "touch firmware");

    // Past the table: false, and the outputs are left alone.
    EXPECT_FALSE(package.getComponent(2, stream, entry));
    EXPECT_NE(stream, nullptr);
    EXPECT_EQ(entry.type, 9U);
    // Once no package is loaded, the stream output is cleared.
    EXPECT_EQ(package.load(root.path() + "/missing.kx1").magic(), 0U);
    EXPECT_TRUE(package.components().empty());
    EXPECT_FALSE(package.getComponent(0, stream, entry));
    EXPECT_EQ(stream, nullptr);
}

TEST_F(InstallPackageTest, FilesThatCannotHoldTheirTableFailToLoadAndNeverVerify) {
    writePackage({{.type = 4, .version = 1, .data = "data"}});
    const std::string signedPackage = packageBytes();
    std::string headerOnly(Boot::packageHeaderSize, '\0');
    storeLittleEndian32(reinterpret_cast<std::uint8_t*>(headerOnly.data()), Boot::packageMagic);
    const auto withCount = [&](std::uint32_t count, std::size_t fileSize) {
        std::string bytes = headerOnly;
        storeLittleEndian32(reinterpret_cast<std::uint8_t*>(bytes.data()) + 660, count);
        bytes.resize(fileSize, '\x5A');
        return bytes;
    };
    const struct {
        const char* name;
        std::string bytes;
        std::uint32_t magic;
        std::size_t entries;
    } cases[] = {
        {"shorter than a header", signedPackage.substr(0, 600), 0, 0},
        {"one byte short of a header", signedPackage.substr(0, 663), 0, 0},
        {"table cut short", signedPackage.substr(0, 664 + 16), 0, 0},
        {"signature block cut short", signedPackage.substr(0, 664 + 32 + 127), 0, 0},
        {"huge count in a small file", withCount(0x7FFFFFFF, 792), 0, 0},
        {"count one past the file", withCount(3, 664 + 3 * 32 + 127), 0, 0},
        {"table and signature exactly fill the file", withCount(3, 664 + 3 * 32 + 128),
         Boot::packageMagic, 3},
        {"wrong magic", std::string(1000, '\x01'), 0x01010101, 0},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        replacePackage(testCase.bytes);
        InstallPackage package(recordPath);
        EXPECT_EQ(package.load(packagePath).magic(), testCase.magic);
        EXPECT_EQ(package.components().size(), testCase.entries);
        EXPECT_FALSE(package.verifySignature(loaderKey()));
        std::istream* stream = nullptr;
        ComponentEntry entry;
        EXPECT_EQ(package.getComponent(0, stream, entry), testCase.entries > 0);
    }
}

TEST_F(InstallPackageTest, APackageWithoutComponentsIsSignedOverItsHeaderAlone) {
    writePackage({});
    ASSERT_EQ(packageBytes().size(), Boot::packageHeaderSize + Boot::signatureBlockSize);
    InstallPackage package(recordPath);
    EXPECT_EQ(package.load(packagePath).count(), 0);
    EXPECT_TRUE(package.verifySignature(loaderKey()));
    RecordingUserInterface userInterface;
    EXPECT_TRUE(package.verifyComponentData(userInterface));
    EXPECT_EQ(userInterface.percents, std::vector<int>{0});
    EXPECT_TRUE(package.writeInstalledRecord());
    EXPECT_EQ(TestSupport::readHostFile(recordPath), packageBytes());
}

TEST_F(InstallPackageTest, ChangesAfterSigningFailTheSignatureOrTheDataCheck) {
    const std::string bigData = [] {
        std::string data(2 * 64 * 1024 + 5, '\0');
        for (std::size_t index = 0; index < data.size(); ++index) {
            data[index] = static_cast<char>(index * 7 + index / 251);
        }
        return data;
    }();
    const std::vector<Component> components{{.type = 4, .version = 1, .data = "first"},
                                            {.type = 4, .version = 2, .data = bigData}};
    const std::size_t secondDataEnd = 664 + 64 + 128 + 5 + bigData.size();
    const auto flipByte = [this](std::size_t offset) {
        std::string bytes = packageBytes();
        bytes[offset] = static_cast<char>(bytes[offset] ^ 0x01);
        replacePackage(bytes);
    };
    const struct {
        const char* name;
        std::function<void()> change;
        bool signatureValid;
        std::vector<int> percents;
    } cases[] = {
        {"unchanged", [] {}, true, {0, 0, 100}},
        {"reserved header byte", [&] { flipByte(300); }, false, {0, 0, 100}},
        {"version in the table", [&] { flipByte(664 + 4); }, false, {0, 0, 100}},
        {"signature block", [&] { flipByte(664 + 64 + 10); }, false, {0, 0, 100}},
        {"first component's data", [&] { flipByte(664 + 64 + 128); }, true, {0}},
        // The second entry has the same type: it is checked all the same, to its last byte.
        {"last byte of the second component", [&] { flipByte(secondDataEnd - 1); }, true, {0, 0}},
        {"offset moved up by 4 GiB",
         [&] { changeEntry(1, [](ComponentEntry& entry) { entry.offset += 1ULL << 32U; }); },
         false,
         {0, 0}},
        {"size grown by 4 GiB",
         [&] { changeEntry(1, [](ComponentEntry& entry) { entry.size += 1ULL << 32U; }); },
         false,
         {0, 0}},
        // Sizes that no file holds must not wrap the total and push the percentage past 100.
        {"size that wraps the total",
         [&] { changeEntry(1, [](ComponentEntry& entry) { entry.size = ~0ULL - 3; }); },
         false,
         {0, 0}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        writePackage(components);
        testCase.change();
        InstallPackage package(recordPath);
        ASSERT_EQ(package.load(packagePath).magic(), Boot::packageMagic);
        EXPECT_EQ(package.verifySignature(loaderKey()), testCase.signatureValid);
        RecordingUserInterface userInterface;
        EXPECT_EQ(package.verifyComponentData(userInterface), testCase.percents.back() == 100);
        EXPECT_EQ(userInterface.percents, testCase.percents);
    }
}

TEST_F(InstallPackageTest, ReportsDataProgressAsTheShareOfBytesChecked) {
    const struct {
        std::vector<std::size_t> sizes;
        std::vector<int> percents;
    } cases[] = {
        {{10, 0, 30}, {0, 25, 25, 100}},
        {{1, 2}, {0, 33, 100}},
        {{0, 0}, {0, 100, 100}},
        {{3}, {0, 100}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(::testing::PrintToString(testCase.sizes));
        std::vector<Component> components;
        for (const std::size_t size : testCase.sizes) {
            components.push_back({.type = 10, .data = std::string(size, 'x')});
        }
        writePackage(components);
        InstallPackage package(recordPath);
        ASSERT_EQ(package.load(packagePath).magic(), Boot::packageMagic);
        RecordingUserInterface userInterface;
        EXPECT_TRUE(package.verifyComponentData(userInterface));
        EXPECT_EQ(userInterface.percents, testCase.percents);
    }
}

// A signature block whose plaintext is a prefix of the right CRC. The header is tuned so that
// the CRC's two high bytes are zero: a check that read four bytes from a zero-filled buffer
// would then take a two- or three-byte plaintext for the right one.
TEST_F(InstallPackageTest, ASignaturePlaintextShorterThanFourBytesIsInvalid) {
    std::string header(Boot::packageHeaderSize, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(header.data());
    storeLittleEndian32(bytes, Boot::packageMagic);
    std::uint32_t tune = 0;
    for (; tune < 0x1000000U; ++tune) {
        storeLittleEndian32(bytes + 280, tune);
        if ((packageCrc(header) >> 16U) == 0) {
            break;
        }
    }
    std::array<std::uint8_t, 4> crcBytes{};
    storeLittleEndian32(crcBytes.data(), packageCrc(header));
    ASSERT_EQ(crcBytes[2] | crcBytes[3], 0);

    for (const std::size_t length : {0U, 2U, 3U, 4U}) {
        SCOPED_TRACE(length);
        std::array<std::uint8_t, Boot::rsaBlockSize> block{};
        ASSERT_TRUE(key.encrypt(
            std::string_view(reinterpret_cast<const char*>(crcBytes.data()), length), block));
        replacePackage(header + asText(block));
        InstallPackage package(recordPath);
        ASSERT_EQ(package.load(packagePath).magic(), Boot::packageMagic);
        EXPECT_EQ(package.verifySignature(loaderKey()), length == 4);
    }
}

TEST_F(InstallPackageTest, DecryptedTextsMustMatchExactlyUpToTheirFirstZeroByte) {
    writePackage({}, {.password = "Code12", .partNumberLock = std::string("61-20-5050\0xyz", 14)});
    InstallPackage package(recordPath);
    const PackageHeader header = package.load(packagePath);
    const struct {
        std::string expected;
        bool password;
        bool matches;
    } cases[] = {
        {"Code12", true, true},      {"code12", true, false},
        {"CODE12", true, false},     {"Code1", true, false},
        {"Code123", true, false},    {"", true, false},
        {"61-20-5050", false, true}, {std::string("61-20-5050\0xyz", 14), false, false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.expected);
        EXPECT_EQ(package.decryptedTextEquals(
                      loaderKey(), testCase.expected,
                      testCase.password ? header.passwordBlock() : header.partNumberBlock()),
                  testCase.matches);
    }
    EXPECT_FALSE(package.decryptedTextEquals(
        loaderKey(), "Code12",
        std::array<std::uint8_t, Boot::rsaBlockSize>{}));  // not a sealed block

    // Without a loaded package nothing matches, even a well-sealed block.
    EXPECT_NE(package.load(root.path() + "/missing.kx1").magic(), Boot::packageMagic);
    EXPECT_FALSE(package.decryptedTextEquals(loaderKey(), "Code12", header.passwordBlock()));
}

TEST_F(InstallPackageTest, ReadsTheInstalledRecordOnlyWhenItIsWhole) {
    const std::string rows = recordRow(9, 5) + recordRow(3, 7) + recordRow(9, 6);
    using Versions = InstallPackage::InstalledVersions;
    const struct {
        const char* name;
        std::string bytes;
        Versions versions;
    } cases[] = {
        {"whole record, later row of a type wins", recordFile(1, 3, rows, true), {{3, 7}, {9, 6}}},
        {"any nonzero first word", recordFile(0xFFFFFFFF, 1, recordRow(4, 8), true), {{4, 8}}},
        {"first word 0", recordFile(0, 3, rows, true), {}},
        {"count 0", recordFile(1, 0, rows, true), {}},
        {"negative count", recordFile(1, 0x80000000, rows, true), {}},
        {"rows cut short", recordFile(1, 3, rows.substr(0, 80), false), {}},
        {"huge count", recordFile(1, 0x7FFFFFFF, rows, true), {}},
        {"shorter than a header", std::string(100, '\x01'), {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TestSupport::writeHostFile(root.prepare("/fs/etfs/installed.kx1"), testCase.bytes);
        const InstallPackage package(recordPath);
        EXPECT_EQ(package.installed(), testCase.versions);
    }
    EXPECT_TRUE(InstallPackage(root.path() + "/nowhere/installed.kx1").installed().empty());
}

TEST_F(InstallPackageTest, ReplacesTheInstalledRecordWithHeaderVersionsAndSignature) {
    TestSupport::writeHostFile(root.prepare("/fs/etfs/installed.kx1"),
                               recordFile(1, 2, recordRow(9, 5) + recordRow(3, 7), true));
    // A second name for the old record: a rewrite in place would show through it.
    const std::string oldRecord = root.path() + "/fs/etfs/old.kx1";
    ASSERT_EQ(link(recordPath.c_str(), oldRecord.c_str()), 0);
    const std::string oldContents = TestSupport::readHostFile(oldRecord);

    writePackage({{.type = 4, .version = 100, .data = "app"}}, {.hardwareFamily = 2});
    InstallPackage package(recordPath);
    EXPECT_EQ(package.installed(), (InstallPackage::InstalledVersions{{3, 7}, {9, 5}}));
    ASSERT_EQ(package.load(packagePath).magic(), Boot::packageMagic);
    ASSERT_TRUE(package.verifySignature(loaderKey()));
    package.setInstalledVersion(4, 100);
    package.setInstalledVersion(3, 8);
    ASSERT_TRUE(package.writeInstalledRecord());

    const std::string file = packageBytes();
    std::string expectedHeader = file.substr(0, 664);
    storeLittleEndian32(reinterpret_cast<std::uint8_t*>(expectedHeader.data()) + 660, 3);
    EXPECT_EQ(TestSupport::readHostFile(recordPath), expectedHeader + recordRow(3, 8) +
                                                         recordRow(4, 100) + recordRow(9, 5) +
                                                         file.substr(664 + 32, 128));
    EXPECT_EQ(package.header().count(), 1) << "the loaded header keeps its own count";
    EXPECT_EQ(TestSupport::readHostFile(oldRecord), oldContents);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root.path() + "/fs/etfs")) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"installed.kx1", "old.kx1"}));

    // The record read back gives the versions written.
    EXPECT_EQ(InstallPackage(recordPath).installed(),
              (InstallPackage::InstalledVersions{{3, 8}, {4, 100}, {9, 5}}));
}

TEST_F(InstallPackageTest, WritesTheRecordOnlyForALoadedPackageAndCreatesItsFolders) {
    writePackage({});
    const std::string deepRecord = root.path() + "/fs/etfs/new/folder/installed.kx1";
    InstallPackage package(deepRecord);
    EXPECT_FALSE(package.writeInstalledRecord());
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/new"));

    ASSERT_EQ(package.load(packagePath).magic(), Boot::packageMagic);
    package.setInstalledVersion(12, 1);
    ASSERT_TRUE(package.writeInstalledRecord());
    EXPECT_EQ(TestSupport::readHostFile(deepRecord).size(), 664 + 32 + 128U);

    // A folder in the record's place: the rename fails and no new file is left behind.
    std::filesystem::remove(deepRecord);
    std::filesystem::create_directories(deepRecord + "/inside");
    EXPECT_FALSE(package.writeInstalledRecord());
    EXPECT_FALSE(std::filesystem::exists(deepRecord + ".new"));
}

TEST_F(InstallPackageTest, NamedPipesAndLinksOutOfTheUnitAreNeitherWaitedOnNorRead) {
    // A whole record outside the unit, beside its root, and one inside that a link may lead to.
    const std::string outside = root.path() + "-outside";
    std::filesystem::create_directories(outside);
    TestSupport::writeHostFile(outside + "/installed.kx1", recordFile(1, 1, recordRow(9, 5), true));
    root.writeFile("/fs/etfs/saved.kx1", recordFile(1, 1, recordRow(3, 7), true));
    const struct {
        const char* name;
        std::function<void()> place;
        InstallPackage::InstalledVersions versions;
    } cases[] = {
        {"link out of the unit",
         [this] {
             std::filesystem::create_symlink(root.path() + "/outside/installed.kx1", recordPath);
         },
         {}},
        {"link inside the unit",
         [this] {
             std::filesystem::create_symlink(root.path() + "/fs/etfs/saved.kx1", recordPath);
         },
         {{3, 7}}},
        {"named pipe", [this] { ASSERT_EQ(mkfifo(recordPath.c_str(), 0600), 0); }, {}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::filesystem::remove(recordPath);
        testCase.place();
        EXPECT_EQ(InstallPackage(recordPath).installed(), testCase.versions);
    }

    // A package that is a named pipe fails to load instead of waiting for a writer.
    std::filesystem::remove(packagePath);
    ASSERT_EQ(mkfifo(packagePath.c_str(), 0600), 0);
    InstallPackage package(recordPath);
    EXPECT_FALSE(package.load(packagePath).magic() == Boot::packageMagic);
    std::filesystem::remove_all(outside);
}

TEST_F(InstallPackageTest, ANewRecordLeftByACutIsDiscardedAndNoLinkInItsPlaceIsFollowed) {
    TestSupport::writeHostFile(root.prepare("/fs/etfs/installed.kx1"),
                               recordFile(1, 1, recordRow(9, 5), true));
    TestSupport::writeHostFile(recordPath + ".new", "cut short");
    InstallPackage package(recordPath);
    EXPECT_FALSE(std::filesystem::exists(recordPath + ".new"));
    EXPECT_EQ(package.installed(), (InstallPackage::InstalledVersions{{9, 5}}));

    root.writeFile("/outside/file", "untouched");
    std::filesystem::create_symlink(root.path() + "/outside/file", recordPath + ".new");
    writePackage({{.type = 4, .version = 100, .data = "app"}});
    ASSERT_EQ(package.load(packagePath).magic(), Boot::packageMagic);
    ASSERT_TRUE(package.writeInstalledRecord());
    EXPECT_EQ(root.readFile("/outside/file"), "untouched");
    EXPECT_EQ(InstallPackage(recordPath).installed(), (InstallPackage::InstalledVersions{{9, 5}}));
}

}  // namespace
