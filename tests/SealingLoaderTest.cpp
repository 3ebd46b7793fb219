// A loader that requires seals: a package sealed by its key installs, and every other package is
// refused as an invalid file with a log line saying what is wrong with its seal, before anything
// is written to the data partition. Packages altered by someone who holds the loader's own key
// (so that the compatible signature and CRCs still check out) are among them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CoreSystem/CRC32.h"
#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/ComponentDataReader.h"
#include "boot/InstallManager.h"
#include "boot/LoaderKey.h"
#include "boot/PackageSeal.h"
#include "tools/PackageWriter.h"
#include "tools/RsaPublicKey.h"

namespace {

using Boot::InstallStatus;
using Boot::PackageSeal;

using TestSupport::sealBlock;

class SealingLoaderTest : public TestSupport::LoaderUnitTest {
protected:
    void SetUp() override {
        LoaderUnitTest::SetUp();
        root.writeFile("/work/end.bin", "end");
        packagePath = root.prepare("/mnt/stick/package.kx1");
        plain = packed(0, std::string(5000, 'm'));
    }

    // A package with correct signature and CRCs, as anyone holding the loader's key can make.
    std::string packed(std::uint32_t flags, const std::string& media) {
        root.writeFile("/work/media.ifs", media);
        std::string error;
        EXPECT_TRUE(Packaging::PackageWriter::write(
            {.hardwareFamily = 1,
             .flags = flags,
             .components = {{.type = 1, .version = 11, .path = root.path() + "/work/end.bin"},
                            {.type = 10, .version = 12, .path = root.path() + "/work/media.ifs"},
                            {.type = 12, .version = 13, .path = root.path() + "/work/end.bin"}}},
            Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), packagePath, error))
            << error;
        return TestSupport::readHostFile(packagePath);
    }

    // Installs `package` with a loader that requires seals by `sealKey` (none: a plain loader).
    InstallStatus install(const std::string& package, const PackageSeal::Key* sealKey) {
        TestSupport::writeHostFile(packagePath, package);
        TestSupport::RecordingInterface ui;
        Boot::InstallManager manager(ui, Boot::loaderKey());
        if (sealKey != nullptr) {
            manager.package().requireSeal(*sealKey);
        }
        return manager.install(packagePath);
    }

    const PackageSeal::Key releaseKey = PackageSeal::Key::generate(PackageSeal::Algorithm::ed25519);
    const PackageSeal::Key loaderSealKey = PackageSeal::Key::fromPemText(releaseKey.publicPem());
    std::string packagePath;
    std::string plain;
};

TEST_F(SealingLoaderTest, ASealedPackageInstallsOnASealingLoaderAndOnAPlainOne) {
    const std::string sealed = plain + sealBlock(plain, releaseKey);
    for (const PackageSeal::Key* key :
         {&loaderSealKey, static_cast<const PackageSeal::Key*>(nullptr)}) {
        std::remove(root.prepare("/fs/etfs/installed.kx1").c_str());
        std::remove(root.prepare("/fs/etfs/media.ifs").c_str());
        ASSERT_EQ(install(sealed, key), InstallStatus::success);
        EXPECT_EQ(root.readFile("/fs/etfs/media.ifs"), std::string(5000, 'm'));
        EXPECT_FALSE(root.readFile("/fs/etfs/installed.kx1").empty());
        const std::vector<std::string> log = TestSupport::installLogLines(root);
        if (key != nullptr) {
            EXPECT_THAT(log,
                        ::testing::IsSupersetOf({"Package seal names the loader's seal key",
                                                 "Valid package seal", "Installation successful"}));
        } else {
            EXPECT_THAT(log, ::testing::Not(::testing::Contains("Valid package seal")));
        }
    }
}

TEST_F(SealingLoaderTest, EveryOtherPackageIsRefusedWithItsSealProblemAndNothingWritten) {
    const std::string seal = sealBlock(plain, releaseKey);
    const PackageSeal::Key otherKey = PackageSeal::Key::generate(PackageSeal::Algorithm::ed25519);
    const std::string otherData = packed(0, "m" + std::string(4999, 'n'));
    const std::string otherHeader = packed(0x100, std::string(5000, 'm'));
    struct Case {
        const char* name;
        std::string package;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"unsealed", plain, "Invalid package seal: no seal"},
        {"another key", plain + sealBlock(plain, otherKey),
         "Invalid package seal: sealed with another key"},
        {"data changed, CRC made again", otherData + seal,
         "Invalid package seal: seal does not match the package"},
        {"header changed, signature made again", otherHeader + seal,
         "Invalid package seal: seal does not match the package"},
        {"one byte of data changed",
         plain.substr(0, plain.size() - 10) + "X" + plain.substr(plain.size() - 9) + seal,
         "Invalid package seal: seal does not match the package"},
        {"seal cut short", plain + seal.substr(0, seal.size() - 10),
         "Invalid package seal: seal cut short"},
        {"garbage after the data", plain + std::string(seal.size(), '\xA5'),
         "Invalid package seal: no seal block after the component data"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::remove(root.prepare("/mnt/stick/install.log").c_str());
        EXPECT_EQ(install(testCase.package, &loaderSealKey), InstallStatus::invalidFile);
        EXPECT_THAT(TestSupport::installLogLines(root), ::testing::Contains(testCase.line));
        EXPECT_TRUE(root.readFile("/fs/etfs/media.ifs").empty());
        EXPECT_TRUE(root.readFile("/fs/etfs/installed.kx1").empty());
    }
}

TEST_F(SealingLoaderTest, AChangedTableUnderAnOldSealIsRefused) {
    const std::string seal = sealBlock(plain, releaseKey);
    // The last table entry's version (type 12, version 13 -> 14), signed again with the loader key.
    std::string error;
    ASSERT_TRUE(Packaging::PackageWriter::write(
        {.hardwareFamily = 1,
         .components = {{.type = 1, .version = 11, .path = root.path() + "/work/end.bin"},
                        {.type = 10, .version = 12, .path = root.path() + "/work/media.ifs"},
                        {.type = 12, .version = 14, .path = root.path() + "/work/end.bin"}}},
        Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), packagePath, error))
        << error;
    const std::string otherTable = TestSupport::readHostFile(packagePath);
    ASSERT_EQ(otherTable.size(), plain.size());
    EXPECT_EQ(install(otherTable + seal, &loaderSealKey), InstallStatus::invalidFile);
    EXPECT_THAT(TestSupport::installLogLines(root),
                ::testing::Contains("Invalid package seal: seal does not match the package"));
    EXPECT_TRUE(root.readFile("/fs/etfs/media.ifs").empty());
}

TEST(SealedComponentReadTest, AnInstallerReadingDataAgainHoldsItToTheHashTheSealCheckSaw) {
    // Data with the CRC the table gives but not the bytes the seal check hashed, as a stick
    // handing over other bytes on the second read with a forged CRC would deliver. The check saw
    // the package's first bytes, then the component.
    const std::string before = "header, table and signature block";
    const std::string data = "component data";
    Boot::ComponentEntry entry{.size = data.size(), .offset = 0};
    entry.crc = CoreSystem::CRC32().update(
        CoreSystem::CRC32().startValue(CoreSystem::CRC32::packageSeed), data.data(), data.size());
    for (const auto& [seen, matches] :
         {std::pair{data, true}, std::pair{std::string("other bytes"), false}}) {
        entry.sealedData = TestSupport::sealedData(before, seen);
        std::istringstream stream(data);
        std::vector<char> bytes;
        EXPECT_EQ(Boot::ComponentDataReader::readWhole(entry, stream, bytes), matches) << seen;
    }
}

}  // namespace
