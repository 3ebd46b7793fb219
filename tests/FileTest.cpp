// Opening files for the loader's own reads and writes: what happens to a link, a file already
// there and a named pipe, and the permissions a new file gets.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/File.h"

namespace {

using Platform::File;

class FileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return root.path() + "/" + name; }

    TestSupport::TemporaryUnitRoot root;
};

TEST_F(FileTest, OpensForWritingAsToldAboutLinksAndFilesAlreadyThere) {
    TestSupport::writeHostFile(path("target"), "old");
    ASSERT_EQ(symlink(path("target").c_str(), path("link").c_str()), 0);
    const struct {
        const char* name;
        const char* at;
        File::Existing existing;
        File::Links links;
        int error;  // 0: opens
    } cases[] = {
        {"an existing file is refused", "target", File::Existing::refused, File::Links::followed,
         EEXIST},
        {"a link is refused", "link", File::Existing::truncated, File::Links::refused, ELOOP},
        {"a link is refused also when creating", "link", File::Existing::refused,
         File::Links::refused, EEXIST},
        {"a link is followed", "link", File::Existing::truncated, File::Links::followed, 0},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        TestSupport::writeHostFile(path("target"), "old");
        File file = File::openForWriting(path(entry.at), entry.existing, entry.links, 0644);
        EXPECT_EQ(file.isOpen(), entry.error == 0);
        EXPECT_EQ(file.openError(), entry.error);
        EXPECT_EQ(file.openRefusedLink(), entry.error == ELOOP);
        if (file.isOpen()) {
            EXPECT_TRUE(file.writeAll("new", 3));
            EXPECT_TRUE(file.close());
        }
        EXPECT_EQ(TestSupport::readHostFile(path("target")), entry.error == 0 ? "new" : "old");
        EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
    }
}

TEST_F(FileTest, ANewFileGetsItsPermissionsLessTheUmaskUnlessSetAfterwards) {
    const mode_t previous = umask(022);
    File file =
        File::openForWriting(path("image"), File::Existing::truncated, File::Links::refused, 0777);
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(std::filesystem::status(path("image")).permissions(),
              static_cast<std::filesystem::perms>(0755));
    EXPECT_TRUE(file.setPermissions(0777));
    EXPECT_EQ(std::filesystem::status(path("image")).permissions(),
              static_cast<std::filesystem::perms>(0777));
    umask(previous);
}

TEST_F(FileTest, ReadingANamedPipeOpensAtOnceAndALinkCanBeRefused) {
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    File pipe = File::openForReading(path("pipe"), File::Links::followed);
    ASSERT_TRUE(pipe.isOpen()) << "no writer was waited for";
    char byte = 0;
    EXPECT_LE(pipe.read(&byte, 1), 0);

    TestSupport::writeHostFile(path("count"), "1234");
    ASSERT_EQ(symlink(path("count").c_str(), path("link").c_str()), 0);
    EXPECT_TRUE(File::openForReading(path("link"), File::Links::refused).openRefusedLink());
    File file = File::openForReading(path("link"), File::Links::followed);
    char bytes[4] = {};
    EXPECT_EQ(file.read(bytes, sizeof bytes), 4);
    EXPECT_EQ(std::string(bytes, 4), "1234");
}

}  // namespace
