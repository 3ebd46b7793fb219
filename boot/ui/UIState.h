#pragma once

#include <memory>
#include <string>

namespace Boot {

class UIManager;
class UIState;

// What a button does to the screen sequence: stay on the current screen, switch to a new one,
// or leave the input loop.
class StateChange {
public:
    enum class Kind { stay, change, leave };

    static StateChange stay() { return {Kind::stay, nullptr}; }
    static StateChange leave() { return {Kind::leave, nullptr}; }
    static StateChange to(std::unique_ptr<UIState> next);

    Kind kind() const { return kind_; }
    // The new screen of a change, else null.
    UIState* next() const { return next_.get(); }
    std::unique_ptr<UIState> takeNext() { return std::move(next_); }

private:
    StateChange(Kind kind, std::unique_ptr<UIState> next);

    Kind kind_;
    std::unique_ptr<UIState> next_;
};

// One screen of the loader. The UI manager draws it whole on every change (background and
// identity texts first, then the screen's own content) and hands it the buttons.
class UIState {
public:
    explicit UIState(UIManager& manager);
    UIState(const UIState&) = delete;
    UIState& operator=(const UIState&) = delete;
    UIState(UIState&&) = delete;
    UIState& operator=(UIState&&) = delete;
    virtual ~UIState();

    virtual void updateProgress(int percent, const std::string& message);
    // Called right after the screen has been drawn as the current one; zero ends the input loop.
    virtual int run();
    virtual StateChange handleButton(int button);
    virtual std::string getPassword();
    virtual void drawContent() = 0;
    // The background and the identity texts, the same on every screen.
    void drawBackground();

    int width() const { return width_; }
    int height() const { return height_; }

protected:
    UIManager& manager() const { return manager_; }
    // The screen geometry: the centre and the title line.
    int centreX() const { return width_ / 2; }
    int centreY() const { return height_ / 2; }
    int titleY() const { return 2 * (height_ / 3); }
    // Draws the image at the soft key of `button` (1-4) of the active layout.
    void drawImageAtKey(int imageIndex, int button) const;
    // White text centred on (x, y).
    void drawCentredText(double fontHeight, double x, double y, const std::string& text) const;

private:
    UIManager& manager_;
    int width_;
    int height_;
};

}  // namespace Boot
