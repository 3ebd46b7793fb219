#include "boot/ui/Renderer.h"

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

#include <cmath>
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

constexpr int gradientSteps = 256;
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

    void text(double x, double y, const std::string& text) {
        if (!fontLoaded_) {
            return;
        }
        double textWidth = 0.0;
        forEachGlyph(text, [&](const agg::glyph_cache* glyph, double penX, double) {
            textWidth = penX + glyph->advance_x;
        });
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
            base_.blend_from(source, nullptr, static_cast<int>(imageToBuffer.tx),
                             static_cast<int>(imageToBuffer.ty));
            return;
        }

        agg::trans_affine bufferToImage = imageToBuffer;
        bufferToImage.invert();
        using Interpolator = agg::span_interpolator_linear<>;
        using Accessor = agg::image_accessor_clone<PixelFormat>;
        using SpanGenerator = agg::span_image_filter_rgba_bilinear<Accessor, Interpolator>;
        Interpolator interpolator(bufferToImage);
        Accessor accessor(source);
        SpanGenerator generator(accessor, interpolator);

        agg::path_storage area;
        area.move_to(x1, y1);
        area.line_to(x2, y1);
        area.line_to(x2, y2);
        area.line_to(x1, y2);
        area.close_polygon();
        agg::conv_transform<agg::path_storage> placed(area, transform);
        rasterizer_.reset();
        rasterizer_.add_path(placed);
        agg::render_scanlines_aa(rasterizer_, scanline_, base_, spanAllocator_, generator);
    }

private:
    void renderFill() {
        if (!gradientFill_) {
            solid_.color(fill);
            agg::render_scanlines(rasterizer_, scanline_, solid_);
            return;
        }
        using Interpolator = agg::span_interpolator_linear<>;
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

void Renderer::transformImage(const Bitmap& bitmap, double x1, double y1, double x2, double y2) {
    implementation_->transformImage(bitmap, x1, y1, x2, y2);
}

}  // namespace Boot
