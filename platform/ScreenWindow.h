#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Platform {

// The unit's one full-screen window on the host: a BGRA render buffer whose posted frames
// become UNIT_ROOT/dev/screen/frame.png, and, when SCREEN_CAPTURE_DIR names a folder, also
// NNNNNN.png there in posting order.
class ScreenWindow {
public:
    static constexpr int defaultWidth = 800;
    static constexpr int defaultHeight = 480;
    static constexpr const char* captureDirectoryVariable = "SCREEN_CAPTURE_DIR";

    ScreenWindow();   // size from UNIT_ROOT/tmp/graphics.conf ("video-mode = W x H @ R"), else
                      // 800x480
    ~ScreenWindow();  // writes the last posted frame if still pending, stops the writer
    ScreenWindow(const ScreenWindow&) = delete;
    ScreenWindow& operator=(const ScreenWindow&) = delete;
    ScreenWindow(ScreenWindow&&) = delete;
    ScreenWindow& operator=(ScreenWindow&&) = delete;

    int width() const;
    int height() const;
    std::uint8_t* pixels();  // the render buffer, BGRA, `stride()` bytes per row
    int stride() const;
    void post();   // dev/screen/frame.png replaced atomically (written on a writer thread,
                   // skipping frames a newer one replaced); SCREEN_CAPTURE_DIR: NNNNNN.png
                   // written before post returns
    void flush();  // returns when the latest posted frame is in frame.png

private:
    void writeFrames();

    int width_ = defaultWidth;
    int height_ = defaultHeight;
    std::vector<std::uint8_t> buffer_;
    std::string framePath_;
    std::string captureDirectory_;
    unsigned captureNumber_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> pendingFrame_;
    std::uint64_t postedCount_ = 0;
    std::uint64_t writtenCount_ = 0;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace Platform
