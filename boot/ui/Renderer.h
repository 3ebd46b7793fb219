#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace Boot {

struct Color {
    std::uint8_t red, green, blue, alpha;
};

enum class TextAlignment { left = 0, right = 1, center = 2 };

enum class DrawMode { fillOnly, fillAndOutline };

// A decoded image: BGRA, rows top to bottom, no padding.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    // Every alpha is 255: drawing copies the pixels instead of blending them, to the same result.
    bool opaque = false;
};

// The 2D drawing facade the screens use, rasterising into a BGRA buffer (blue, green, red, alpha
// in memory) with anti-aliasing. Drawing state (transformation, colours, path, font) persists
// between calls until changed; attaching to a buffer keeps it.
class Renderer {
public:
    Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;
    Renderer(Renderer&& other) noexcept;
    Renderer& operator=(Renderer&& other) noexcept;
    ~Renderer();

    void attach(std::uint8_t* pixels, int width, int height, int strideBytes);  // BGRA in memory
    void clearAll(Color color);
    void resetTransformations();
    void scale(double sx, double sy);
    void translate(double tx, double ty);
    void fillColor(Color color);
    void lineColor(Color color);
    void noFill();
    void noOutline();
    void lineWidth(double width);
    void resetPath();
    void rectangle(double x1, double y1, double x2, double y2);
    void roundedRectangle(double x1, double y1, double x2, double y2, double radius);
    void fillLinearGradient(double x1, double y1, double x2, double y2, Color from, Color to);
    void drawPath(DrawMode mode);
    // Face bytes are parsed once per distinct span and kept; height in pixels.
    void font(std::span<const unsigned char> face, double height);
    void textAlignment(TextAlignment horizontal, TextAlignment vertical);
    void text(double x, double y, const std::string& text);
    // The advance width of `text` in the current font, in pixels; 0 without a usable face.
    double textWidth(const std::string& text);
    // Alpha-blends `bitmap` into the destination rectangle under the current transformation,
    // so that with the screens' y-up set-up its top-left pixel lands at (x1, y2). Resampling
    // for a scaled placement on whole pixels is kept and reused while the bitmap's pixels stay
    // the same, with the same result as resampling again.
    void transformImage(const Bitmap& bitmap, double x1, double y1, double x2, double y2);

private:
    class Implementation;
    std::unique_ptr<Implementation> implementation_;
};

}  // namespace Boot
