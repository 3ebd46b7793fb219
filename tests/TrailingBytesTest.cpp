// Bytes after the last component's data, where a sealed package carries its seal block: the
// loader's compatible checks and install, and the packaging tool's verify and inspect, must treat
// such a package exactly as the package without them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "InstallFixtures.h"
#include "TestSupport.h"
#include "boot/InstallManager.h"
#include "boot/LoaderKey.h"
#include "boot/PackageSeal.h"
#include "boot/RsaKey.h"
#include "tools/PackageReader.h"
#include "tools/PackageReport.h"
#include "tools/PackageVerifier.h"
#include "tools/PackageWriter.h"

namespace {

using Boot::InstallStatus;
using Boot::PackageSeal;

// What one install of a package left behind on the unit.
struct InstallOutcome {
    InstallStatus status = InstallStatus::failure;
    std::vector<std::string> log;
    std::string record;
    std::string mediaImage;
};

// What the packaging tool says of a package.
struct ToolOutcome {
    bool verified = false;
    std::vector<std::string> checks;
    std::string report;
};

class TrailingBytesTest : public TestSupport::LoaderUnitTest {
protected:
    void SetUp() override {
        LoaderUnitTest::SetUp();
        root.writeFile("/work/media.ifs", std::string(5000, 'm'));
        root.writeFile("/work/end.bin", "end");
        packagePath = root.prepare("/mnt/stick/package.kx1");
        std::string error;
        ASSERT_TRUE(Packaging::PackageWriter::write(
            {.hardwareFamily = 1,
             .components = {{.type = 1, .version = 11, .path = root.path() + "/work/end.bin"},
                            {.type = 10, .version = 12, .path = root.path() + "/work/media.ifs"},
                            {.type = 12, .version = 13, .path = root.path() + "/work/end.bin"}}},
            Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), packagePath, error))
            << error;
        plain = TestSupport::readHostFile(packagePath);
    }

    InstallOutcome install(const std::string& package) {
        TestSupport::writeHostFile(packagePath, package);
        std::remove(root.prepare("/fs/etfs/installed.kx1").c_str());
        std::remove(root.prepare("/fs/etfs/media.ifs").c_str());
        TestSupport::RecordingInterface ui;
        InstallOutcome outcome;
        {
            Boot::InstallManager manager(ui, Boot::loaderKey());
            outcome.status = manager.install(packagePath);
        }
        outcome.log = TestSupport::installLogLines(root);
        outcome.record = root.readFile("/fs/etfs/installed.kx1");
        outcome.mediaImage = root.readFile("/fs/etfs/media.ifs");
        return outcome;
    }

    ToolOutcome inspectAndVerify(const std::string& package) {
        TestSupport::writeHostFile(packagePath, package);
        Packaging::PackageReader reader;
        std::string error;
        EXPECT_TRUE(reader.open(packagePath, error)) << error;
        ToolOutcome outcome;
        outcome.report = Packaging::PackageReport::text(reader, "package.kx1");
        Packaging::PackageVerifier verifier(reader, loaderKey);
        outcome.verified = verifier.verify({}, [&](const Packaging::PackageVerifier::Check& check) {
            outcome.checks.push_back(check.line);
        });
        return outcome;
    }

    // The package with a seal block appended.
    std::string sealed() const {
        const PackageSeal::Key key = PackageSeal::Key::generate(PackageSeal::Algorithm::ed25519);
        return plain + TestSupport::sealBlock(plain, key);
    }

    const Boot::RsaKey loaderKey{TestSupport::readHostFile(LOADER_KEY_FILE)};
    std::string packagePath;
    std::string plain;
};

TEST_F(TrailingBytesTest, TheLoaderInstallsAPackageWithBytesAfterItsDataAsTheSamePackageWithout) {
    const InstallOutcome expected = install(plain);
    ASSERT_EQ(expected.status, InstallStatus::success);
    EXPECT_THAT(expected.log,
                ::testing::IsSupersetOf({"Valid package signature", "Valid component data",
                                         "Installation successful"}));
    EXPECT_EQ(expected.mediaImage, std::string(5000, 'm'));
    ASSERT_FALSE(expected.record.empty());

    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"200 zero bytes", std::string(200, '\0')},
        {"200 bytes of garbage", std::string(200, '\xA5')},
        {"a seal block", sealed().substr(plain.size())},
    };
    for (const Case& entry : cases) {
        const InstallOutcome outcome = install(plain + entry.bytes);
        EXPECT_EQ(outcome.status, InstallStatus::success) << entry.name;
        EXPECT_EQ(outcome.log, expected.log) << entry.name;
        EXPECT_EQ(outcome.record, expected.record) << entry.name;
        EXPECT_EQ(outcome.mediaImage, expected.mediaImage) << entry.name;
    }
}

TEST_F(TrailingBytesTest, VerifyAndInspectTreatBytesAfterTheDataAsTheSamePackageWithout) {
    const ToolOutcome expected = inspectAndVerify(plain);
    ASSERT_TRUE(expected.verified);
    for (const std::string& bytes : {std::string(200, '\xA5'), sealed().substr(plain.size())}) {
        const ToolOutcome outcome = inspectAndVerify(plain + bytes);
        EXPECT_TRUE(outcome.verified);
        EXPECT_EQ(outcome.checks, expected.checks);
        // Only the file size differs in what inspect shows.
        std::string report = outcome.report;
        const std::string grownSize =
            "file size        " + std::to_string(plain.size() + bytes.size()) + " bytes\n";
        const std::size_t found = report.find(grownSize);
        ASSERT_NE(found, std::string::npos) << report;
        report.replace(found, grownSize.size(),
                       "file size        " + std::to_string(plain.size()) + " bytes\n");
        EXPECT_EQ(report, expected.report);
    }
}

}  // namespace
