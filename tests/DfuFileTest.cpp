// Firmware files for the Bluetooth chip: the suffix checks, the CRC and the printed details.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "boot/bluetooth/DfuFile.h"

namespace {

using namespace Boot::Bluetooth;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

// A vendor header with its info text at byte 16, then the image, then a correct suffix.
std::vector<std::uint8_t> makeFile(std::string_view start, std::uint16_t device = 0x1234) {
    std::vector<std::uint8_t> file = bytesOf(start);
    const std::vector<std::uint8_t> suffix = dfuMakeSuffix(file, device, 0x0001, 0x0A12);
    file.insert(file.end(), suffix.begin(), suffix.end());
    return file;
}

const std::string header = std::string("CSR-dfu2") + std::string(8, '\0') + "build 4711 release";

class DfuFileTest : public ::testing::Test {
protected:
    // Writes the file and reads it back through dfu_read_file, keeping what it printed.
    std::optional<std::vector<std::uint8_t>> read(const std::vector<std::uint8_t>& file,
                                                  bool quiet = false) {
        TestSupport::writeHostFile(path, std::string(file.begin(), file.end()));
        ::testing::internal::CaptureStdout();
        auto result = dfu_read_file(path, length, quiet);
        output = ::testing::internal::GetCapturedStdout();
        return result;
    }

    TestSupport::TemporaryUnitRoot root;
    std::string path = root.prepare("/tmp/bluetooth.dfu");
    std::size_t length = 12345;
    std::string output;
};

TEST(DfuSuffixCrcTest, IsTheReflectedCrc32WithoutTheFinalInversion) {
    // The common check value of CRC-32 over "123456789" is 0xCBF43926 after its final XOR.
    EXPECT_EQ(dfuSuffixCrc(bytesOf("123456789")), ~0xCBF43926U);
    EXPECT_EQ(dfuSuffixCrc({}), 0xFFFFFFFFU);
}

TEST(DfuSuffixTest, HoldsTheIdsVersionSignatureLengthAndCrc) {
    const std::vector<std::uint8_t> image = bytesOf("CSR-dfu1 image");
    const std::vector<std::uint8_t> suffix = dfuMakeSuffix(image, 0x0102, 0x0304, 0x0506);
    std::vector<std::uint8_t> covered = image;
    covered.insert(covered.end(), suffix.begin(), suffix.begin() + 12);
    const std::uint32_t crc = dfuSuffixCrc(covered);
    EXPECT_EQ(suffix,
              (std::vector<std::uint8_t>{
                  0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0x00, 0x01, 0x55, 0x46, 0x44, 16,
                  static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8U),
                  static_cast<std::uint8_t>(crc >> 16U), static_cast<std::uint8_t>(crc >> 24U)}));
}

TEST_F(DfuFileTest, AcceptsAGoodFileAndPrintsItsDetails) {
    const std::vector<std::uint8_t> file = makeFile(header);
    const auto result = read(file);
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, file);
    EXPECT_EQ(length, header.size());
    // The ID is the device number's hexadecimal digits read as a decimal number: 1234 = 0x4d2.
    EXPECT_EQ(output,
              "Firmware ID:   04d2\n"
              "Firmware type: CSR-dfu2\n"
              "Firmware info: build 4711 release\n"
              "Firmware size: " +
                  std::to_string(header.size()) +
                  "\n"
                  "Firmware file: OK\n");

    EXPECT_TRUE(read(file, true));
    EXPECT_EQ(output, "");
}

TEST_F(DfuFileTest, RejectsFilesThatFailACheck) {
    const auto withSuffixByte = [](std::size_t offset, std::uint8_t value, bool fixCrc) {
        std::vector<std::uint8_t> file = makeFile(header);
        const std::size_t suffixStart = file.size() - dfuSuffixSize;
        file[suffixStart + offset] = value;
        if (fixCrc) {
            const std::uint32_t crc = dfuSuffixCrc(std::span(file).first(file.size() - 4));
            for (std::size_t index = 0; index < 4; ++index) {
                file[file.size() - 4 + index] = static_cast<std::uint8_t>(crc >> (8 * index));
            }
        }
        return file;
    };
    std::vector<std::uint8_t> changedImage = makeFile(header);
    changedImage[20] ^= 0x01;
    const struct {
        const char* name;
        std::vector<std::uint8_t> file;
        DfuFileCheck check;
    } cases[] = {
        {"bad magic", makeFile("CSR-dfu3" + header.substr(8)), DfuFileCheck::magic},
        {"suffix alone", makeFile(""), DfuFileCheck::magic},
        {"wrong crc", changedImage, DfuFileCheck::crc},
        {"wrong format version", withSuffixByte(6, 0x10, true), DfuFileCheck::suffixVersion},
        {"wrong signature", withSuffixByte(8, 'X', true), DfuFileCheck::signature},
        {"wrong suffix length", withSuffixByte(11, 15, true), DfuFileCheck::suffixLength},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(dfuParseFile(entry.file).check, entry.check);
        EXPECT_FALSE(read(entry.file));
        EXPECT_EQ(length, entry.file.size() - dfuSuffixSize);
        EXPECT_NE(output.find("Firmware size: " + std::to_string(length) + "\n"),
                  std::string::npos);
        EXPECT_TRUE(output.ends_with("Firmware file: *** BROKEN ***\n")) << output;
        // The verdict on a broken file is printed even when quiet, and only it.
        EXPECT_FALSE(read(entry.file, true));
        EXPECT_EQ(output, "Firmware file: *** BROKEN ***\n");
    }
}

TEST_F(DfuFileTest, PrintsOnlyTheInfoTextTheImageHolds) {
    const auto result = read(makeFile("CSR-dfu1" + std::string(8, 'x') + "abc"));
    ASSERT_TRUE(result);
    EXPECT_NE(output.find("Firmware info: abc\n"), std::string::npos) << output;

    EXPECT_TRUE(read(makeFile("CSR-dfu1")));
    EXPECT_NE(output.find("Firmware info: \n"), std::string::npos) << output;

    const std::string longInfo(100, 'i');
    EXPECT_TRUE(read(makeFile("CSR-dfu1" + std::string(8, ' ') + longInfo)));
    EXPECT_NE(output.find("Firmware info: " + longInfo.substr(0, 57) + "\n"), std::string::npos);
}

TEST_F(DfuFileTest, ReportsAMissingOrTooShortFile) {
    EXPECT_FALSE(read(std::vector<std::uint8_t>(15, 0x55)));
    EXPECT_EQ(output, "Broken file " + path + "\n");

    std::size_t unused = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(dfu_read_file(root.path() + "/missing.dfu", unused, false));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Can't open file " + root.path() + "/missing.dfu\n");
}

}  // namespace
