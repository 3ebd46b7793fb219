#include "platform/ScreenWindow.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <utility>

#include "platform/UnitRoot.h"
#include "platform/VideoMode.h"

namespace Platform {

namespace {

constexpr int bytesPerPixel = 4;

// Writes `bytes` under a temporary name beside `path`, then renames it over `path`, so that a
// reader sees either the previous file or this one, whole. False when it could not.
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return false;
    }
    const std::string temporaryPath = path + ".partial";
    std::FILE* file = std::fopen(temporaryPath.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(temporaryPath.c_str());
        return false;
    }
    std::error_code error;
    std::filesystem::rename(temporaryPath, path, error);
    if (error) {
        std::remove(temporaryPath.c_str());
        return false;
    }
    return true;
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
    // A captured frame is written whole before its post returns, so no writer is needed.
    if (captureDirectory_.empty()) {
        writer_ = std::thread([this] { writeFrames(); });
    }
}

ScreenWindow::~ScreenWindow() {
    if (!writer_.joinable()) {
        return;
    }
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
        const PngEncoder::Encoded encoded =
            encoder_.encode(buffer_.data(), width_, height_, stride());
        char name[16];
        std::snprintf(name, sizeof name, "%06u.png", captureNumber_++);
        writeFileAtomically(captureDirectory_ + "/" + name, encoded.png);
        writeLatestFrame(encoded);
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        // Assigning keeps the pending buffer's memory from one post to the next.
        pendingFrame_.assign(buffer_.begin(), buffer_.end());
        ++postedCount_;
    }
    changed_.notify_all();
}

void ScreenWindow::writeLatestFrame(const PngEncoder::Encoded& encoded) {
    if (encoded.sameAsBefore && latestFrameWritten_) {
        return;
    }
    latestFrameWritten_ = writeFileAtomically(framePath_, encoded.png);
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
        // Only the newest frame is written; frames posted meanwhile replaced the older ones. The
        // two buffers trade places, so that neither is allocated again.
        std::swap(writingFrame_, pendingFrame_);
        const std::uint64_t frameNumber = postedCount_;
        lock.unlock();
        writeLatestFrame(encoder_.encode(writingFrame_.data(), width_, height_, stride()));
        lock.lock();
        writtenCount_ = frameNumber;
        changed_.notify_all();
    }
}

}  // namespace Platform
