#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/PngEncoder.h"

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
    // dev/screen/frame.png is replaced atomically: on a writer thread, skipping frames a newer
    // one replaced and frames equal to the one written last. With SCREEN_CAPTURE_DIR, NNNNNN.png
    // and frame.png are both written before post returns.
    void post();
    void flush();  // returns when the latest posted frame is in frame.png

private:
    void writeFrames();
    // Writes the frame's PNG to frame.png unless it is there already.
    void writeLatestFrame(const PngEncoder::Encoded& encoded);

    int width_ = defaultWidth;
    int height_ = defaultHeight;
    std::vector<std::uint8_t> buffer_;
    std::string framePath_;
    std::string captureDirectory_;
    unsigned captureNumber_ = 0;
    // Used by the writer thread, or by the posting thread when every frame is captured.
    PngEncoder encoder_;
    bool latestFrameWritten_ = false;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> pendingFrame_;
    std::vector<std::uint8_t> writingFrame_;
    std::uint64_t postedCount_ = 0;
    std::uint64_t writtenCount_ = 0;
    bool stopping_ = false;
    std::thread writer_;
};

}  // namespace Platform
