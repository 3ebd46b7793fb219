#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ScreenshotCompare.h"
#include "TestSupport.h"
#include "UITestSupport.h"
#include "boot/ui/FormatUIState.h"
#include "boot/ui/UIManager.h"

namespace {

// Stand-ins for the partitioning and file-system tools, put first on PATH: each logs how it was
// called; `mount -t` of a working set makes the mount point appear, as a mounted partition would.
class FormatScreenTest : public TestSupport::UITest {
public:
    FormatScreenTest(const FormatScreenTest&) = delete;
    FormatScreenTest& operator=(const FormatScreenTest&) = delete;
    FormatScreenTest(FormatScreenTest&&) = delete;
    FormatScreenTest& operator=(FormatScreenTest&&) = delete;

protected:
    FormatScreenTest() {
        if (const char* path = std::getenv("PATH"); path != nullptr) {
            previousPath_ = path;
        }
        setenv("PATH", (root.path() + "/tmp:" + previousPath_).c_str(), 1);
    }
    ~FormatScreenTest() override { setenv("PATH", previousPath_.c_str(), 1); }

    void installTool(const std::string& name, const std::string& body) {
        const std::string path = root.prepare("/tmp/" + name);
        TestSupport::writeHostFile(
            path,
            "#!/bin/sh\necho \"" + name + " $*\" >> \"$(dirname \"$0\")/commands.log\"\n" + body);
        chmod(path.c_str(), 0755);
    }
    void installWorkingTools() {
        installTool("fdisk", "exit 0\n");
        installTool("mkqnx6fs", "exit 0\n");
        installTool("mount", "if [ \"$1\" = -t ]; then mkdir -p \"$4\"; fi\nexit 0\n");
    }
    // mkqnx6fs fails, so there is nothing to mount and no data partition appears.
    void installFailingTools() {
        installTool("fdisk", "exit 0\n");
        installTool("mkqnx6fs", "exit 1\n");
        installTool("mount", "exit 1\n");
    }
    std::string withoutRoot(std::string text) const {
        for (auto at = text.find(root.path()); at != std::string::npos;
             at = text.find(root.path())) {
            text.erase(at, root.path().size());
        }
        return text;
    }

    // Formats and checks what the last frame shows.
    void expectFormatEndsWith(int status, const std::string& message,
                              const std::string& screenshot) {
        EXPECT_EQ(ui->showFormatScreen(), 1);
        const auto* format = dynamic_cast<Boot::FormatUIState*>(ui->currentState());
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->status(), status);
        EXPECT_EQ(format->message(), message);
        EXPECT_TRUE(
            TestSupport::matchesReference(TestSupport::captureWindow(ui->window()), screenshot));
    }

private:
    std::string previousPath_;
};

TEST_F(FormatScreenTest, PartitionsFormatsMountsAndLeavesTheMarker) {
    installWorkingTools();
    expectFormatEndsWith(1, "Formatting: Formatting File System...", "format-success");
    EXPECT_EQ(root.readFile("/fs/etfs/formatted"), "Format Completed\n");
    EXPECT_EQ(withoutRoot(root.readFile("/tmp/commands.log")),
              "fdisk /dev/emmc0 delete -s1\n"
              "fdisk /dev/emmc0 delete -s2\n"
              "fdisk /dev/emmc0 delete -s3\n"
              "fdisk /dev/emmc0 delete -s4\n"
              "fdisk /dev/emmc0 add -s1 -t 177 -p 100\n"
              "mount -e /dev/emmc0\n"
              "mkqnx6fs -b 4096 -q /dev/emmc0t177\n"
              "mount -t qnx6 /dev/emmc0t177 /fs/etfs\n");
}

TEST_F(FormatScreenTest, MissingDataPartitionIsReportedAsAFailure) {
    installFailingTools();
    expectFormatEndsWith(0, "Formatting: Error Formatting File System...", "format-failure");
    EXPECT_FALSE(std::filesystem::exists(root.path() + "/fs/etfs/formatted"));

    // The message is wider than the window at its usual height: it is drawn smaller, whole,
    // rather than cut at both edges.
    const TestSupport::Screenshot frame = TestSupport::captureWindow(ui->window());
    const int messageY = 2 * (frame.height / 3);
    int leftmostText = frame.width;
    int rightmostText = -1;
    for (int y = messageY - 18; y <= messageY + 18; ++y) {
        for (int x = 0; x < frame.width; ++x) {
            const auto pixel = frame.pixelYUp(x, y);
            if (pixel[0] > 200 && pixel[1] > 200 && pixel[2] > 200) {
                leftmostText = std::min(leftmostText, x);
                rightmostText = std::max(rightmostText, x);
            }
        }
    }
    EXPECT_GE(leftmostText, 10);
    EXPECT_LE(rightmostText, frame.width - 11);
    EXPECT_GT(rightmostText - leftmostText, frame.width / 2);
}

}  // namespace
