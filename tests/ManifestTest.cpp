#include "tools/Manifest.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "tools/ComponentNames.h"
#include "tools/ComponentVersion.h"

namespace {

using Packaging::ComponentVersion;
using Packaging::Manifest;

struct VersionCase {
    std::string text;
    std::optional<std::uint32_t> stored;
};

TEST(ComponentVersionTest, DottedAndPlainTextsMapToStoredVersionsAndOverlapsAreRefused) {
    const VersionCase cases[] = {
        {"2.9.10247", 2910247},
        {"1.0.2", 1000002},
        {"7", 7},
        {"0.0.0", 0},
        {"4294.9.67295", std::numeric_limits<std::uint32_t>::max()},
        {"4294967295", std::numeric_limits<std::uint32_t>::max()},
        {"1.10.0", std::nullopt},
        {"1.0.100000", std::nullopt},
        {"a.b", std::nullopt},
        {"1.2", std::nullopt},
        {"1.2.3.4", std::nullopt},
        {"1..2", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"0x10", std::nullopt},
        {"4294.9.67296", std::nullopt},
        {"4294967296", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const VersionCase& versionCase : cases) {
        std::string problem;
        EXPECT_EQ(ComponentVersion::parse(versionCase.text, problem), versionCase.stored)
            << "'" << versionCase.text << "'";
        EXPECT_EQ(problem.empty(), versionCase.stored.has_value()) << versionCase.text;
        if (versionCase.stored && versionCase.text.find('.') != std::string::npos) {
            EXPECT_EQ(ComponentVersion::format(*versionCase.stored), versionCase.text);
        }
    }
}

TEST(ComponentNamesTest, NamesAndNumbersSelectTypesOneToFifteen) {
    using Packaging::ComponentNames;
    EXPECT_EQ(ComponentNames::typeFrom("application"), 4U);
    EXPECT_EQ(ComponentNames::typeFrom("begin"), 1U);
    EXPECT_EQ(ComponentNames::typeFrom("custom"), 15U);
    EXPECT_EQ(ComponentNames::typeFrom("13"), 13U);
    EXPECT_EQ(ComponentNames::typeFrom("0"), std::nullopt);
    EXPECT_EQ(ComponentNames::typeFrom("16"), std::nullopt);
    EXPECT_EQ(ComponentNames::typeFrom("Application"), std::nullopt);
    EXPECT_EQ(ComponentNames::nameOf(3), "os");
    EXPECT_EQ(ComponentNames::nameOf(14), "no-installer");
    EXPECT_EQ(ComponentNames::nameOf(99), "invalid");
}

TEST(ManifestTest, EverySettingIsReadAndTheTextsSetTheirFlags) {
    const std::string text =
        "# package for the M2 unit\n"
        "\n"
        "hardware-family 0x10   # hexadecimal\n"
        "flags 0x8\n"
        "password ab#c 12\n"
        "  part-number-lock\t61-20-5050\r\n"
        "component application 2.9.10247 app.tar.gz  # the application\n"
        "component 12 7 /abs/end file.bin\n";
    Manifest manifest;
    Manifest::Error error;
    ASSERT_TRUE(Manifest::parse(text, "/base", manifest, error)) << error.message;
    const Packaging::PackageDescription& description = manifest.description;
    EXPECT_EQ(description.hardwareFamily, 0x10U);
    EXPECT_EQ(description.flags, 0x8U | 0x2U | 0x4U);
    EXPECT_EQ(description.password, "ab#c 12");
    EXPECT_EQ(description.partNumberLock, "61-20-5050");
    ASSERT_EQ(description.components.size(), 2U);
    EXPECT_EQ(description.components[0].type, 4U);
    EXPECT_EQ(description.components[0].version, 2910247U);
    EXPECT_EQ(description.components[0].path, "/base/app.tar.gz");
    EXPECT_EQ(description.components[1].type, 12U);
    EXPECT_EQ(description.components[1].version, 7U);
    EXPECT_EQ(description.components[1].path, "/abs/end file.bin");
    EXPECT_EQ(manifest.componentLines, (std::vector<int>{7, 8}));
}

struct ManifestErrorCase {
    std::string text;
    int line;
    std::string message;
};

TEST(ManifestTest, ErrorsNameTheirLine) {
    const ManifestErrorCase cases[] = {
        {"hardware-family 1\nbogus 3\n", 2, "unknown setting 'bogus'"},
        {"hardware-family 1\n\nhardware-family 2\n", 3, "given twice (first on line 1)"},
        {"hardware-family one\n", 1, "hardware-family needs one number"},
        {"hardware-family 0x100000000\n", 1, "needs one number"},
        {"hardware-family 1\nflags\n", 2, "flags needs one number"},
        {"hardware-family 1\ncomponent application 1.10.0 a\n", 2, "minor number must be 0 to 9"},
        {"hardware-family 1\ncomponent application a.b a\n", 2, "not a decimal number"},
        {"hardware-family 1\ncomponent nope 1 a\n", 2, "unknown component type 'nope'"},
        {"hardware-family 1\ncomponent 16 1 a\n", 2, "unknown component type '16'"},
        {"hardware-family 1\ncomponent application 1\n", 2, "component needs TYPE VERSION PATH"},
        {"hardware-family 1\npassword   # nothing\n", 2, "password needs a text"},
        {"hardware-family 1\npassword " + std::string(118, '1') + "\n", 2, "at most 117"},
        {"hardware-family 1\nflags 0x2\n", 2, "bit 0x2 (password protected) but there is no"},
        {"hardware-family 1\nflags 6\npassword 1\n", 2, "bit 0x4 (part-number locked)"},
        {"# nothing but a comment\n", 0, "no hardware-family line"},
        {"", 0, "no hardware-family line"},
    };
    for (const ManifestErrorCase& errorCase : cases) {
        Manifest manifest;
        Manifest::Error error;
        EXPECT_FALSE(Manifest::parse(errorCase.text, "/base", manifest, error)) << errorCase.text;
        EXPECT_EQ(error.line, errorCase.line) << errorCase.text;
        EXPECT_NE(error.message.find(errorCase.message), std::string::npos)
            << errorCase.text << " gave: " << error.message;
    }
}

TEST(ManifestTest, FilesResolvePathsFromTheirFolderAndPrefixErrorsWithPathAndLine) {
    const TestSupport::TemporaryUnitRoot root;
    root.writeFile("/release/good.txt", "hardware-family 1\ncomponent os 1.0.0 os.tar.gz\n");
    root.writeFile("/release/bad.txt", "hardware-family 1\ncomponent os 1.0 os.tar.gz\n");
    Manifest manifest;
    std::string error;
    ASSERT_TRUE(Manifest::load(root.path() + "/release/good.txt", manifest, error)) << error;
    EXPECT_EQ(manifest.description.components.at(0).path, root.path() + "/release/os.tar.gz");

    EXPECT_FALSE(Manifest::load(root.path() + "/release/bad.txt", manifest, error));
    EXPECT_EQ(error.rfind(root.path() + "/release/bad.txt:2: version '1.0'", 0), 0U) << error;
    EXPECT_FALSE(Manifest::load(root.path() + "/release/missing.txt", manifest, error));
    EXPECT_EQ(error, "cannot read manifest " + root.path() + "/release/missing.txt");
    EXPECT_FALSE(Manifest::load(root.path() + "/release", manifest, error));
}

}  // namespace
