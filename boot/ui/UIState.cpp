#include "boot/ui/UIState.h"

#include <algorithm>
#include <utility>

#include "assets/UiAssets.h"
#include "boot/ui/UIManager.h"

namespace Boot {

namespace {

// Room kept free at each side of a centred line.
constexpr double textMargin = 10.0;

}  // namespace

StateChange::StateChange(Kind kind, std::unique_ptr<UIState> next)
    : kind_(kind), next_(std::move(next)) {}

StateChange StateChange::to(std::unique_ptr<UIState> next) {
    return {Kind::change, std::move(next)};
}

UIState::UIState(UIManager& manager)
    : manager_(manager), width_(manager.width()), height_(manager.height()) {}

UIState::~UIState() = default;

void UIState::updateProgress(int /*percent*/, const std::string& /*message*/) {}

int UIState::run() {
    return 1;
}

StateChange UIState::handleButton(int /*button*/) {
    return StateChange::stay();
}

std::string UIState::getPassword() {
    return {};
}

void UIState::drawBackground() {
    manager_.drawBackgroundImage();
    manager_.drawIdentityTexts();
}

void UIState::drawImageAtKey(int imageIndex, int button) const {
    const CoreSystem::SoftKey& key =
        manager_.activeLayout().keys.at(static_cast<std::size_t>(button - 1));
    manager_.drawImage(imageIndex, key.x, key.y);
}

void UIState::drawCentredText(double fontHeight, double x, double y,
                              const std::string& text) const {
    Renderer& renderer = manager_.renderer();
    renderer.font(Assets::uiFontFace(), fontHeight);
    // A line wider than the window would lose its ends; it is drawn smaller to fit instead.
    const double available = 2.0 * std::min(x - textMargin, width_ - textMargin - x);
    const double textWidth = renderer.textWidth(text);
    if (textWidth > available) {
        renderer.font(Assets::uiFontFace(), fontHeight * available / textWidth);
    }
    renderer.textAlignment(TextAlignment::center, TextAlignment::center);
    renderer.fillColor({255, 255, 255, 255});
    renderer.noOutline();
    renderer.text(x, y, text);
}

}  // namespace Boot
