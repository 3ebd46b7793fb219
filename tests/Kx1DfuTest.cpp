// kx1 dfu make and check, run as programs, with the files they write read back by the unit's
// own firmware file reader.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "boot/bluetooth/DfuFile.h"

namespace {

using Outcome = TestSupport::ProgramRun;

class Kx1DfuTest : public ::testing::Test {
protected:
    // Runs the built kx1 with the arguments, capturing its output and exit status.
    Outcome kx1(const std::vector<std::string>& arguments) const {
        return TestSupport::runProgram(KX1_PATH, arguments, root.path());
    }

    std::string path(const std::string& name) const { return root.path() + "/" + name; }
    std::string write(const std::string& name, const std::string& contents) const {
        TestSupport::writeHostFile(path(name), contents);
        return path(name);
    }

    TestSupport::TemporaryUnitRoot root;
};

TEST_F(Kx1DfuTest, MakesAFileTheUnitAcceptsAndCheckConfirmsIt) {
    const std::string image = std::string("CSR-dfu1") + std::string(8, '\0') + "fw 12" +
                              std::string(1, '\0') + std::string(40, '\x7f');
    const std::string imagePath = write("image.bin", image);
    const Outcome made = kx1({"dfu", "make", imagePath, path("out.dfu"), "--device", "0x0815",
                              "--product", "7", "--vendor", "0x0a12"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");

    const std::string file = TestSupport::readHostFile(path("out.dfu"));
    ASSERT_EQ(file.size(), image.size() + 16);
    EXPECT_EQ(file.substr(0, image.size()), image);
    EXPECT_EQ(file.substr(image.size(), 12),
              std::string("\x15\x08\x07\x00\x12\x0a\x00\x01UFD\x10", 12));
    std::size_t length = 0;
    EXPECT_TRUE(Boot::Bluetooth::dfu_read_file(path("out.dfu"), length, true));
    EXPECT_EQ(length, image.size());

    const Outcome checked = kx1({"dfu", "check", path("out.dfu")});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_NE(checked.out.find("Firmware type: CSR-dfu1\nFirmware info: fw 12\n"),
              std::string::npos)
        << checked.out;
    EXPECT_NE(checked.out.find("product 0x0007, vendor 0x0a12, version 0x0100, length 16"),
              std::string::npos)
        << checked.out;
    EXPECT_TRUE(checked.out.ends_with("Firmware file: OK\n"));
}

TEST_F(Kx1DfuTest, WrapsABareImageInAMinimalHeader) {
    const std::string imagePath = write("bare.bin", "raw firmware");
    EXPECT_EQ(kx1({"dfu", "make", imagePath, path("bare.dfu")}).status, 1);
    EXPECT_FALSE(std::filesystem::exists(path("bare.dfu")));

    const Outcome made =
        kx1({"dfu", "make", imagePath, path("bare.dfu"), "--wrap", "--info", "test build"});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string file = TestSupport::readHostFile(path("bare.dfu"));
    EXPECT_EQ(file.substr(0, 26), std::string("CSR-dfu2") + std::string(8, '\0') + "test build");
    EXPECT_EQ(file.substr(73, 12), "raw firmware");
    const Outcome checked = kx1({"dfu", "check", path("bare.dfu")});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_NE(checked.out.find("Firmware info: test build\n"), std::string::npos);
}

TEST_F(Kx1DfuTest, CheckNamesTheCheckABrokenFileFails) {
    const std::string image = "CSR-dfu2 some image bytes";
    ASSERT_EQ(kx1({"dfu", "make", write("image.bin", image), path("good.dfu")}).status, 0);
    const std::string good = TestSupport::readHostFile(path("good.dfu"));
    std::string noMagic = "CSR-DFU2 some image bytes";
    const auto suffix = Boot::Bluetooth::dfuMakeSuffix(
        std::vector<std::uint8_t>(noMagic.begin(), noMagic.end()), 1, 2, 3);
    noMagic.append(suffix.begin(), suffix.end());
    std::string flipped = good;
    flipped[10] = static_cast<char>(flipped[10] ^ 1);
    const struct {
        std::string contents;
        const char* reason;
    } cases[] = {
        {flipped, "suffix CRC does not match the file"},
        {good.substr(0, 15), "file shorter than the 16-byte suffix"},
        {good.substr(0, good.size() - 1) + "x", "suffix CRC does not match the file"},
        {noMagic, R"(file begins with neither "CSR-dfu1" nor "CSR-dfu2")"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.reason);
        const Outcome checked = kx1({"dfu", "check", write("broken.dfu", entry.contents)});
        EXPECT_EQ(checked.status, 1);
        EXPECT_EQ(checked.err,
                  "kx1 dfu check: " + path("broken.dfu") + " is broken: " + entry.reason + "\n");
        EXPECT_EQ(checked.out.find("Firmware file: OK"), std::string::npos);
    }
}

TEST_F(Kx1DfuTest, WrongUseExitsWithTwoAndNamesTheProblem) {
    const std::string imagePath = write("image.bin", "CSR-dfu1 image");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"dfu", "make", imagePath}, "kx1 dfu make: too few arguments"},
        {{"dfu", "make", imagePath, path("out.dfu"), "--device", "0x10000"},
         "kx1 dfu make: --device takes a number from 0 to 0xffff"},
        {{"dfu", "make", imagePath, path("out.dfu"), "--info", "without wrap"},
         "kx1 dfu make: --info goes with --wrap and holds at most 57 characters"},
        {{"dfu", "check"}, "kx1 dfu check: too few arguments"},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(message);
        const Outcome outcome = kx1(arguments);
        EXPECT_EQ(outcome.status, 2);
        const std::string usage = "\nusage: kx1 dfu " + arguments[1] + " ";
        EXPECT_EQ(outcome.err.rfind(message + usage, 0), 0U) << outcome.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path("out.dfu")));
}

}  // namespace
