#include "boot/ui/Renderer.h"

// AGG's glyph cache dereferences a pointer it has not checked; inlined at -O2 and above, GCC
// warns about it in spite of the header being a system header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnull-dereference"
#include <agg_basics.h>
#include <agg_conv_curve.h>
#include <agg_conv_stroke.h>
#include <agg_conv_transform.h>
#include <agg_font_cache_manager.h>
#include <agg_font_freetype.h>
#include <agg_image_accessors.h>
#include <agg_path_storage.h>
#include <agg_pixfmt_rgba.h>
#include <agg_rasterizer_scanline_aa.h>
#include <agg_renderer_base.h>
#include <agg_renderer_scanline.h>
#include <agg_rendering_buffer.h>
#include <agg_rounded_rect.h>
#include <agg_scanline_u.h>
#include <agg_span_allocator.h>
#include <agg_span_gradient.h>
#include <agg_span_image_filter_rgba.h>
#include <agg_span_interpolator_linear.h>
#include <agg_trans_affine.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace Boot {

namespace {

using PixelFormat = agg::pixfmt_bgra32;
using BaseRenderer = agg::renderer_base<PixelFormat>;
using SolidRenderer = agg::renderer_scanline_aa_solid<BaseRenderer>;
using FontEngine = agg::font_engine_freetype_int32;
using FontCacheManager = agg::font_cache_manager<FontEngine>;
using GlyphCurves = agg::conv_curve<FontCacheManager::path_adaptor_type>;

using Interpolator = agg::span_interpolator_linear<>;
using ImageAccessor = agg::image_accessor_clone<PixelFormat>;
using ImageSpans = agg::span_image_filter_rgba_bilinear<ImageAccessor, Interpolator>;

constexpr int gradientSteps = 256;
// Resampled images kept for redrawing (a stretched background is redrawn every frame).
constexpr std::size_t scaledImagesKept = 4;
using GradientColors = agg::pod_auto_array<agg::rgba8, gradientSteps>;

agg::rgba8 toAgg(Color color) {
    return {color.red, color.green, color.blue, color.alpha};
}

// A transformation that maps pixel centres onto pixel centres one to one, rows keeping their
// order: an image under it can be copied row by row with the same result as resampling it.
bool isWholePixelShift(const agg::trans_affine& matrix) {
    return matrix.sx == 1.0 && matrix.sy == 1.0 && matrix.shx == 0.0 && matrix.shy == 0.0 &&
           matrix.tx == std::floor(matrix.tx) && matrix.ty == std::floor(matrix.ty);
}

// The buffer area an image covers when its transformation only scales and moves it onto whole
// pixel edges, inside the buffer: every pixel there is covered fully, so its colour is the
// resampled image's alone and can be kept. Nothing for any other placement.
std::optional<agg::rect_i> wholePixelArea(const agg::trans_affine& imageToBuffer,
                                          const Bitmap& bitmap, int bufferWidth, int bufferHeight) {
    if (imageToBuffer.shx != 0.0 || imageToBuffer.shy != 0.0) {
        return std::nullopt;
    }
    double left = 0.0;
    double top = 0.0;
    double right = bitmap.width;
    double bottom = bitmap.height;
    imageToBuffer.transform(&left, &top);
    imageToBuffer.transform(&right, &bottom);
    const double x1 = std::min(left, right);
    const double x2 = std::max(left, right);
    const double y1 = std::min(top, bottom);
    const double y2 = std::max(top, bottom);
    const bool wholePixels = x1 == std::floor(x1) && x2 == std::floor(x2) && y1 == std::floor(y1) &&
                             y2 == std::floor(y2);
    if (!wholePixels || x1 < 0.0 || y1 < 0.0 || x2 > bufferWidth || y2 > bufferHeight || x1 >= x2 ||
        y1 >= y2) {
        return std::nullopt;
    }
    return agg::rect_i(static_cast<int>(x1), static_cast<int>(y1), static_cast<int>(x2),
                       static_cast<int>(y2));
}

}  // namespace

class Renderer::Implementation {
public:
    Implementation() : fontCache_(fontEngine_) {
        fontEngine_.hinting(true);
        fontEngine_.flip_y(false);
    }

    void attach(std::uint8_t* pixels, int width, int height, int strideBytes) {
        buffer_.attach(pixels, static_cast<unsigned>(width), static_cast<unsigned>(height),
                       strideBytes);
        pixelFormat_.attach(buffer_);
        base_.attach(pixelFormat_);
        solid_.attach(base_);
        rasterizer_.clip_box(0, 0, width, height);
    }

    void clearAll(Color color) { base_.clear(toAgg(color)); }

    agg::trans_affine transform;
    agg::path_storage path;
    agg::rgba8 fill{255, 255, 255, 255};
    agg::rgba8 line{0, 0, 0, 255};
    bool filling = true;
    bool outlining = true;
    double strokeWidth = 1.0;
    TextAlignment horizontal = TextAlignment::left;
    TextAlignment vertical = TextAlignment::left;

    void fillLinearGradient(double x1, double y1, double x2, double y2, Color from, Color to) {
        for (int step = 0; step < gradientSteps; ++step) {
            gradientColors_[static_cast<unsigned>(step)] =
                toAgg(from).gradient(toAgg(to), step / double(gradientSteps - 1));
        }
        // Gradient space: the start point at the origin, the end point on the positive x axis,
        // then the current transformation; spans need the way back from the buffer.
        gradientMatrix_ = agg::trans_affine_rotation(std::atan2(y2 - y1, x2 - x1));
        gradientMatrix_ *= agg::trans_affine_translation(x1, y1);
        gradientMatrix_ *= transform;
        gradientMatrix_.invert();
        gradientLength_ = std::hypot(x2 - x1, y2 - y1);
        gradientFill_ = true;
        filling = true;
    }

    void solidFill(Color color) {
        fill = toAgg(color);
        filling = true;
        gradientFill_ = false;
    }

    void drawPath(DrawMode mode) {
        if (filling) {
            agg::conv_transform<agg::path_storage> shape(path, transform);
            rasterizer_.reset();
            rasterizer_.add_path(shape);
            renderFill();
        }
        if (mode == DrawMode::fillAndOutline && outlining) {
            agg::conv_stroke<agg::path_storage> stroke(path);
            stroke.width(strokeWidth);
            agg::conv_transform<agg::conv_stroke<agg::path_storage>> outline(stroke, transform);
            rasterizer_.reset();
            rasterizer_.add_path(outline);
            solid_.color(line);
            agg::render_scanlines(rasterizer_, scanline_, solid_);
        }
    }

    void font(std::span<const unsigned char> face, double height) {
        if (face.data() != fontFace_.data() || face.size() != fontFace_.size()) {
            fontFace_ = face;
            // Without bytes the engine would look for a file of the face's name instead.
            fontLoaded_ = !face.empty() && loadFace(face);
        }
        fontEngine_.height(height);
    }

    double textWidth(const std::string& text) {
        if (!fontLoaded_) {
            return 0.0;
        }
        double width = 0.0;
        forEachGlyph(text, [&](const agg::glyph_cache* glyph, double penX, double) {
            width = penX + glyph->advance_x;
        });
        return width;
    }

    void text(double x, double y, const std::string& text) {
        if (!fontLoaded_) {
            return;
        }
        const double textWidth = this->textWidth(text);
        double capitalHeight = fontEngine_.height();
        if (const agg::glyph_cache* capital = fontCache_.glyph('H')) {
            capitalHeight = capital->bounds.y2 - capital->bounds.y1;
        }

        double startX = x;
        if (horizontal == TextAlignment::center) {
            startX -= textWidth / 2.0;
        } else if (horizontal == TextAlignment::right) {
            startX -= textWidth;
        }
        // Vertically "left" puts the baseline at y, "right" the top of the capitals, "center"
        // their middle. Glyphs are drawn upright on the screen whichever way y runs in the
        // drawing coordinates.
        const bool yUp = transform.determinant() < 0.0;
        const double down = yUp ? -1.0 : 1.0;
        double startY = y;
        if (vertical == TextAlignment::center) {
            startY += down * capitalHeight / 2.0;
        } else if (vertical == TextAlignment::right) {
            startY += down * capitalHeight;
        }
        snapToPixel(startX, startY);

        // One pass for the whole string: glyph outlines at their pen positions, flipped so that
        // their y runs up the screen, then through the current transformation.
        rasterizer_.reset();
        forEachGlyph(text, [&](const agg::glyph_cache* glyph, double penX, double penY) {
            fontCache_.init_embedded_adaptors(glyph, 0.0, 0.0);
            agg::trans_affine placement = agg::trans_affine_scaling(1.0, -down);
            placement *= agg::trans_affine_translation(startX + penX, startY + penY);
            placement *= transform;
            GlyphCurves curves(fontCache_.path_adaptor());
            agg::conv_transform<GlyphCurves> placed(curves, placement);
            rasterizer_.add_path(placed);
        });
        solid_.color(fill);
        agg::render_scanlines(rasterizer_, scanline_, solid_);
    }

    void transformImage(const Bitmap& bitmap, double x1, double y1, double x2, double y2) {
        if (bitmap.width <= 0 || bitmap.height <= 0 ||
            bitmap.pixels.size() < static_cast<std::size_t>(bitmap.width) *
                                       static_cast<std::size_t>(bitmap.height) * 4U) {
            return;
        }
        // The source rendering buffer only reads; AGG's pixel formats take mutable rows.
        agg::rendering_buffer sourceBuffer(const_cast<std::uint8_t*>(bitmap.pixels.data()),
                                           static_cast<unsigned>(bitmap.width),
                                           static_cast<unsigned>(bitmap.height), bitmap.width * 4);
        PixelFormat source(sourceBuffer);

        // Bitmap rows run top to bottom: its origin goes to (x1, y2), its far corner to (x2, y1).
        const double corners[6] = {x1, y2, x2, y2, x2, y1};
        agg::trans_affine imageToBuffer(0.0, 0.0, bitmap.width, bitmap.height, corners);
        imageToBuffer *= transform;

        if (isWholePixelShift(imageToBuffer)) {
            placeUnscaled(source, bitmap.opaque, static_cast<int>(imageToBuffer.tx),
                          static_cast<int>(imageToBuffer.ty));
            return;
        }

        agg::trans_affine bufferToImage = imageToBuffer;
        bufferToImage.invert();
        Interpolator interpolator(bufferToImage);
        ImageAccessor accessor(source);
        ImageSpans spans(accessor, interpolator);

        if (const std::optional<agg::rect_i> area =
                wholePixelArea(imageToBuffer, bitmap, static_cast<int>(buffer_.width()),
                               static_cast<int>(buffer_.height()))) {
            const ScaledImage& scaled = scaledImage(bitmap, imageToBuffer, *area, spans);
            agg::rendering_buffer scaledBuffer(const_cast<std::uint8_t*>(scaled.pixels.data()),
                                               static_cast<unsigned>(area->x2 - area->x1),
                                               static_cast<unsigned>(area->y2 - area->y1),
                                               (area->x2 - area->x1) * 4);
            const PixelFormat scaledPixels(scaledBuffer);
            placeUnscaled(scaledPixels, bitmap.opaque, area->x1, area->y1);
            return;
        }

        agg::path_storage outline;
        outline.move_to(x1, y1);
        outline.line_to(x2, y1);
        outline.line_to(x2, y2);
        outline.line_to(x1, y2);
        outline.close_polygon();
        agg::conv_transform<agg::path_storage> placed(outline, transform);
        rasterizer_.reset();
        rasterizer_.add_path(placed);
        agg::render_scanlines_aa(rasterizer_, scanline_, base_, spanAllocator_, spans);
    }

private:
    // Puts `source` with its top-left pixel at buffer pixel (x, y), clipped to the buffer. An
    // opaque source's pixels replace the buffer's, which is what blending them would give.
    void placeUnscaled(const PixelFormat& source, bool opaque, int x, int y) {
        if (opaque) {
            base_.copy_from(source, nullptr, x, y);
        } else {
            base_.blend_from(source, nullptr, x, y);
        }
    }

    void renderFill() {
        if (!gradientFill_) {
            solid_.color(fill);
            agg::render_scanlines(rasterizer_, scanline_, solid_);
            return;
        }
        using SpanGenerator =
            agg::span_gradient<agg::rgba8, Interpolator, agg::gradient_x, GradientColors>;
        Interpolator interpolator(gradientMatrix_);
        agg::gradient_x direction;
        SpanGenerator generator(interpolator, direction, gradientColors_, 0.0, gradientLength_);
        agg::render_scanlines_aa(rasterizer_, scanline_, base_, spanAllocator_, generator);
    }

    bool loadFace(std::span<const unsigned char> face) {
        // The engine keeps every face it has parsed under its name, so a name made from the
        // bytes' place brings the same face back without parsing it again.
        const std::string name = "Font@" +
                                 std::to_string(reinterpret_cast<std::uintptr_t>(face.data())) +
                                 ":" + std::to_string(face.size());
        return fontEngine_.load_font(name.c_str(), 0, agg::glyph_ren_outline,
                                     reinterpret_cast<const char*>(face.data()),
                                     static_cast<long>(face.size()));
    }

    // An image resampled for one placement: the source it came from (compared in full, so a
    // changed bitmap is never mistaken for a kept one) and the colours of its area, row by row.
    struct ScaledImage {
        std::vector<std::uint8_t> source;
        int sourceWidth = 0;
        agg::trans_affine imageToBuffer;
        agg::rect_i area;
        std::vector<std::uint8_t> pixels;
    };

    // The kept resampling of `bitmap` for this placement, made now when there is none. The
    // spans are generated row by row exactly as drawing the area's rectangle would generate
    // them, so blending the kept colours gives the same pixels as drawing afresh.
    const ScaledImage& scaledImage(const Bitmap& bitmap, const agg::trans_affine& imageToBuffer,
                                   const agg::rect_i& area, ImageSpans& spans) {
        const std::size_t sourceBytes =
            static_cast<std::size_t>(bitmap.width) * static_cast<std::size_t>(bitmap.height) * 4U;
        for (const ScaledImage& kept : scaledImages_) {
            if (kept.sourceWidth == bitmap.width && kept.imageToBuffer == imageToBuffer &&
                kept.source.size() == sourceBytes &&
                std::equal(kept.source.begin(), kept.source.end(), bitmap.pixels.begin())) {
                return kept;
            }
        }
        if (scaledImages_.size() == scaledImagesKept) {
            scaledImages_.pop_front();
        }
        ScaledImage& scaled = scaledImages_.emplace_back();
        scaled.source.assign(bitmap.pixels.begin(),
                             bitmap.pixels.begin() + static_cast<std::ptrdiff_t>(sourceBytes));
        scaled.sourceWidth = bitmap.width;
        scaled.imageToBuffer = imageToBuffer;
        scaled.area = area;
        const int width = area.x2 - area.x1;
        scaled.pixels.resize(static_cast<std::size_t>(width) *
                             static_cast<std::size_t>(area.y2 - area.y1) * 4U);
        spans.prepare();
        for (int y = area.y1; y < area.y2; ++y) {
            agg::rgba8* row = spanAllocator_.allocate(static_cast<unsigned>(width));
            spans.generate(row, area.x1, y, static_cast<unsigned>(width));
            std::uint8_t* target = scaled.pixels.data() + static_cast<std::size_t>(y - area.y1) *
                                                              static_cast<std::size_t>(width) * 4U;
            for (int x = 0; x < width; ++x, target += 4) {
                target[agg::order_bgra::R] = row[x].r;
                target[agg::order_bgra::G] = row[x].g;
                target[agg::order_bgra::B] = row[x].b;
                target[agg::order_bgra::A] = row[x].a;
            }
        }
        return scaled;
    }

    // Calls `visit(glyph, penX, penY)` for each character with its pen offset from the start.
    template <typename Visit>
    void forEachGlyph(const std::string& text, Visit visit) {
        double penX = 0.0;
        double penY = 0.0;
        fontCache_.reset_last_glyph();
        for (const char character : text) {
            const agg::glyph_cache* glyph = fontCache_.glyph(static_cast<unsigned char>(character));
            if (glyph == nullptr) {
                continue;
            }
            fontCache_.add_kerning(&penX, &penY);
            visit(glyph, penX, penY);
            penX += glyph->advance_x;
            penY += glyph->advance_y;
        }
    }

    // Moves a point of the drawing coordinates onto the nearest whole buffer pixel.
    void snapToPixel(double& x, double& y) const {
        transform.transform(&x, &y);
        x = std::round(x);
        y = std::round(y);
        transform.inverse_transform(&x, &y);
    }

    agg::rendering_buffer buffer_;
    PixelFormat pixelFormat_;
    BaseRenderer base_;
    SolidRenderer solid_;
    agg::rasterizer_scanline_aa<> rasterizer_;
    agg::scanline_u8 scanline_;
    agg::span_allocator<agg::rgba8> spanAllocator_;

    bool gradientFill_ = false;
    GradientColors gradientColors_;
    agg::trans_affine gradientMatrix_;
    double gradientLength_ = 1.0;

    std::deque<ScaledImage> scaledImages_;

    FontEngine fontEngine_;
    FontCacheManager fontCache_;
    std::span<const unsigned char> fontFace_;
    bool fontLoaded_ = false;
};

Renderer::Renderer() : implementation_(std::make_unique<Implementation>()) {}
Renderer::Renderer(Renderer&&) noexcept = default;
Renderer& Renderer::operator=(Renderer&&) noexcept = default;
Renderer::~Renderer() = default;

void Renderer::attach(std::uint8_t* pixels, int width, int height, int strideBytes) {
    implementation_->attach(pixels, width, height, strideBytes);
}

void Renderer::clearAll(Color color) {
    implementation_->clearAll(color);
}

void Renderer::resetTransformations() {
    implementation_->transform.reset();
}

void Renderer::scale(double sx, double sy) {
    implementation_->transform *= agg::trans_affine_scaling(sx, sy);
}

void Renderer::translate(double tx, double ty) {
    implementation_->transform *= agg::trans_affine_translation(tx, ty);
}

void Renderer::fillColor(Color color) {
    implementation_->solidFill(color);
}

void Renderer::lineColor(Color color) {
    implementation_->line = toAgg(color);
    implementation_->outlining = true;
}

void Renderer::noFill() {
    implementation_->filling = false;
}

void Renderer::noOutline() {
    implementation_->outlining = false;
}

void Renderer::lineWidth(double width) {
    implementation_->strokeWidth = width;
}

void Renderer::resetPath() {
    implementation_->path.remove_all();
}

void Renderer::rectangle(double x1, double y1, double x2, double y2) {
    agg::path_storage& path = implementation_->path;
    path.move_to(x1, y1);
    path.line_to(x2, y1);
    path.line_to(x2, y2);
    path.line_to(x1, y2);
    path.close_polygon();
}

void Renderer::roundedRectangle(double x1, double y1, double x2, double y2, double radius) {
    agg::rounded_rect shape(x1, y1, x2, y2, radius);
    shape.normalize_radius();
    implementation_->path.concat_path(shape);
}

void Renderer::fillLinearGradient(double x1, double y1, double x2, double y2, Color from,
                                  Color to) {
    implementation_->fillLinearGradient(x1, y1, x2, y2, from, to);
}

void Renderer::drawPath(DrawMode mode) {
    implementation_->drawPath(mode);
}

void Renderer::font(std::span<const unsigned char> face, double height) {
    implementation_->font(face, height);
}

void Renderer::textAlignment(TextAlignment horizontal, TextAlignment vertical) {
    implementation_->horizontal = horizontal;
    implementation_->vertical = vertical;
}

void Renderer::text(double x, double y, const std::string& text) {
    implementation_->text(x, y, text);
}

double Renderer::textWidth(const std::string& text) {
    return implementation_->textWidth(text);
}

void Renderer::transformImage(const Bitmap& bitmap, double x1, double y1, double x2, double y2) {
    implementation_->transformImage(bitmap, x1, y1, x2, y2);
}

}  // namespace Boot
