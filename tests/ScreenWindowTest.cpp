#include "platform/ScreenWindow.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "boot/ui/ImageCatalogue.h"
#include "tests/TestSupport.h"

namespace Platform {
namespace {

// Sets or clears SCREEN_CAPTURE_DIR for one test and puts the previous state back afterwards.
class CaptureDirectorySetting {
public:
    explicit CaptureDirectorySetting(const std::string& directory) {
        if (const char* previous = std::getenv(ScreenWindow::captureDirectoryVariable)) {
            previous_ = previous;
        }
        if (directory.empty()) {
            unsetenv(ScreenWindow::captureDirectoryVariable);
        } else {
            setenv(ScreenWindow::captureDirectoryVariable, directory.c_str(), 1);
        }
    }
    CaptureDirectorySetting(const CaptureDirectorySetting&) = delete;
    CaptureDirectorySetting& operator=(const CaptureDirectorySetting&) = delete;
    ~CaptureDirectorySetting() {
        if (previous_) {
            setenv(ScreenWindow::captureDirectoryVariable, previous_->c_str(), 1);
        } else {
            unsetenv(ScreenWindow::captureDirectoryVariable);
        }
    }

private:
    std::optional<std::string> previous_;
};

// Fills the window's buffer with a pattern that differs per pixel and per `seed`.
std::vector<std::uint8_t> paint(ScreenWindow& window, int seed) {
    std::uint8_t* pixels = window.pixels();
    for (int y = 0; y < window.height(); ++y) {
        for (int x = 0; x < window.width(); ++x) {
            std::uint8_t* pixel = pixels + (static_cast<std::ptrdiff_t>(y) * window.stride()) +
                                  (static_cast<std::ptrdiff_t>(x) * 4);
            pixel[0] = static_cast<std::uint8_t>(x + seed);
            pixel[1] = static_cast<std::uint8_t>(y * 3);
            pixel[2] = static_cast<std::uint8_t>(x ^ y);
            pixel[3] = static_cast<std::uint8_t>(255 - seed);
        }
    }
    return {pixels, pixels + static_cast<std::ptrdiff_t>(window.stride()) * window.height()};
}

// The pixels of a PNG file as BGRA, empty when it does not decode.
std::vector<std::uint8_t> decodePng(const std::string& path) {
    const std::string bytes = TestSupport::readHostFile(path);
    const std::optional<Boot::Bitmap> bitmap = Boot::ImageCatalogue::decode(
        {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
    return bitmap ? bitmap->pixels : std::vector<std::uint8_t>{};
}

TEST(ScreenWindowTest, SizeComesFromTheDisplayConfiguration) {
    struct Case {
        const char* name;
        std::optional<std::string> configuration;
        int width, height;
    };
    const Case cases[] = {
        {"video mode line", "begin display 1\n  video-mode = 1920 x 720 @ 60\nend display\n", 1920,
         720},
        {"no spaces", "video-mode=1280x480@60\n", 1280, 480},
        {"missing file", std::nullopt, 800, 480},
        {"garbage line", "video-mode = wide x tall @ 60\n", 800, 480},
        {"commented out", "# video-mode = 1024 x 600 @ 60\n", 800, 480},
        {"absurd size", "video-mode = 99999999 x 720 @ 60\n", 800, 480},
    };
    const CaptureDirectorySetting noCapture("");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TestSupport::TemporaryUnitRoot root;
        if (c.configuration) {
            root.writeFile("/tmp/graphics.conf", *c.configuration);
        }
        const ScreenWindow window;
        EXPECT_EQ(window.width(), c.width);
        EXPECT_EQ(window.height(), c.height);
        EXPECT_EQ(window.stride(), c.width * 4);
    }
}

TEST(ScreenWindowTest, PostedFrameReplacesFramePngWithTheBufferPixels) {
    const CaptureDirectorySetting noCapture("");
    const TestSupport::TemporaryUnitRoot root;
    root.writeFile("/tmp/graphics.conf", "video-mode = 64 x 32 @ 60\n");
    const std::string framePath = root.path() + "/dev/screen/frame.png";
    ScreenWindow window;

    const std::vector<std::uint8_t> first = paint(window, 1);
    window.post();
    window.flush();
    EXPECT_EQ(decodePng(framePath), first);

    paint(window, 2);
    window.post();
    const std::vector<std::uint8_t> third = paint(window, 3);
    window.post();
    paint(window, 4);  // drawn but not posted
    window.flush();
    EXPECT_EQ(decodePng(framePath), third);
    // An earlier picture posted again replaces the later one.
    paint(window, 1);
    window.post();
    window.flush();
    EXPECT_EQ(decodePng(framePath), first);
    // Only the finished file is left in the folder.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root.path() + "/dev/screen")) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"frame.png"});
}

TEST(ScreenWindowTest, ClosingWritesTheLastPostedFrame) {
    const CaptureDirectorySetting noCapture("");
    const TestSupport::TemporaryUnitRoot root;
    root.writeFile("/tmp/graphics.conf", "video-mode = 40 x 30 @ 60\n");
    std::vector<std::uint8_t> last;
    {
        ScreenWindow window;
        paint(window, 5);
        window.post();
        last = paint(window, 6);
        window.post();
    }
    EXPECT_EQ(decodePng(root.path() + "/dev/screen/frame.png"), last);
}

TEST(ScreenWindowTest, CaptureFolderGetsEveryFrameInOrderBeforePostReturns) {
    const TestSupport::TemporaryUnitRoot root;
    root.writeFile("/tmp/graphics.conf", "video-mode = 40 x 30 @ 60\n");
    const std::string captureDirectory = root.path() + "/captures";
    const std::string framePath = root.path() + "/dev/screen/frame.png";
    const CaptureDirectorySetting capture(captureDirectory);
    ScreenWindow window;

    const std::vector<std::uint8_t> first = paint(window, 7);
    window.post();
    EXPECT_EQ(decodePng(captureDirectory + "/000000.png"), first);
    EXPECT_EQ(decodePng(framePath), first);
    const std::vector<std::uint8_t> second = paint(window, 8);
    window.post();
    EXPECT_EQ(decodePng(captureDirectory + "/000001.png"), second);
    EXPECT_EQ(decodePng(framePath), second);
    // A frame equal to the one before is a frame of its own all the same.
    window.post();
    EXPECT_EQ(decodePng(captureDirectory + "/000002.png"), second);
    EXPECT_EQ(decodePng(captureDirectory + "/000000.png"), first);
}

}  // namespace
}  // namespace Platform
