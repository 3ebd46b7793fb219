#include "platform/ScreenWindow.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/UnitRoot.h"
#include "platform/VideoMode.h"

namespace Platform {

namespace {

constexpr int bytesPerPixel = 4;

// Writes a BGRA frame as an RGBA PNG under a temporary name beside `path`, then renames it
// over `path`, so that a reader sees either the previous frame or this one, whole.
void writePngAtomically(const std::string& path, const std::vector<std::uint8_t>& frame, int width,
                        int height) {
    const int rowBytes = width * bytesPerPixel;
    if (width <= 0 || height <= 0 || rowBytes <= 0) {
        return;
    }
    std::vector<std::uint8_t> rgba(frame);
    for (std::size_t pixel = 0; pixel + 3 < rgba.size(); pixel += bytesPerPixel) {
        std::swap(rgba[pixel], rgba[pixel + 2]);
    }
    const std::string temporaryPath = path + ".partial";
    if (stbi_write_png(temporaryPath.c_str(), width, height, bytesPerPixel, rgba.data(),
                       rowBytes) == 0) {
        std::remove(temporaryPath.c_str());
        return;
    }
    std::error_code error;
    std::filesystem::rename(temporaryPath, path, error);
    if (error) {
        std::remove(temporaryPath.c_str());
    }
}

}  // namespace

ScreenWindow::ScreenWindow() {
    std::ifstream configurationFile(UnitRoot::hostPath("/tmp/graphics.conf"));
    if (configurationFile) {
        std::ostringstream configuration;
        configuration << configurationFile.rdbuf();
        if (const std::optional<VideoMode> mode = parseVideoMode(configuration.str())) {
            width_ = mode->width;
            height_ = mode->height;
        }
    }
    buffer_.assign(static_cast<std::size_t>(stride()) * static_cast<std::size_t>(height_), 0);

    framePath_ = UnitRoot::hostPath("/dev/screen/frame.png");
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(framePath_).parent_path(), error);
    if (const char* capture = std::getenv(captureDirectoryVariable);
        capture != nullptr && *capture != '\0') {
        captureDirectory_ = capture;
        std::filesystem::create_directories(captureDirectory_, error);
    }
    writer_ = std::thread([this] { writeFrames(); });
}

ScreenWindow::~ScreenWindow() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
}

int ScreenWindow::width() const {
    return width_;
}

int ScreenWindow::height() const {
    return height_;
}

std::uint8_t* ScreenWindow::pixels() {
    return buffer_.data();
}

int ScreenWindow::stride() const {
    return width_ * bytesPerPixel;
}

void ScreenWindow::post() {
    if (!captureDirectory_.empty()) {
        char name[16];
        std::snprintf(name, sizeof name, "%06u.png", captureNumber_++);
        writePngAtomically(captureDirectory_ + "/" + name, buffer_, width_, height_);
    }
    {
        const std::lock_guard lock(mutex_);
        pendingFrame_ = buffer_;
        ++postedCount_;
    }
    changed_.notify_all();
}

void ScreenWindow::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = postedCount_;
    changed_.wait(lock, [&] { return writtenCount_ >= target; });
}

void ScreenWindow::writeFrames() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || writtenCount_ < postedCount_; });
        if (writtenCount_ == postedCount_) {
            return;  // stopping with nothing left to write
        }
        // Only the newest frame is written; frames posted meanwhile replaced the older ones.
        std::vector<std::uint8_t> frame = std::move(pendingFrame_);
        pendingFrame_.clear();
        const std::uint64_t frameNumber = postedCount_;
        lock.unlock();
        writePngAtomically(framePath_, frame, width_, height_);
        lock.lock();
        writtenCount_ = frameNumber;
        changed_.notify_all();
    }
}

}  // namespace Platform
