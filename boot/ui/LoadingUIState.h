#pragma once

#include <array>
#include <string>

#include "boot/ui/UIState.h"

namespace Boot {

// Installs the selected package and shows its progress; asks for the package password on an
// on-screen keypad when the install sequence needs one.
class LoadingUIState final : public UIState {
public:
    // One key of the keypad image, in y-up screen coordinates.
    struct KeypadKey {
        int code;  // an ASCII digit, or enterCode
        int x;
        int y;
        int width;
        int height;
    };
    static constexpr int enterCode = 1;
    static constexpr int keypadKeyCount = 11;
    static constexpr std::size_t maximumDigits = 16;

    explicit LoadingUIState(UIManager& manager);

    void updateProgress(int percent, const std::string& message) override;
    int run() override;
    StateChange handleButton(int button) override;
    std::string getPassword() override;
    void drawContent() override;

    int progress() const { return progress_; }
    const std::string& message() const { return message_; }
    bool passwordMode() const { return passwordMode_; }
    const std::string& digits() const { return digits_; }
    int selectedKey() const { return selectedKey_; }
    const KeypadKey& keypadKey(int index) const;
    // The red bar's length in pixels at `percent`.
    static int barLength(int percent);
    // What the password line shows.
    std::string passwordPrompt() const;

private:
    void drawProgress();
    void drawPasswordEntry();
    // Acts on one keypad button; false when the entry is over.
    bool handlePasswordButton(int button);

    std::string message_;
    int progress_ = 0;
    bool passwordMode_ = false;
    std::string digits_;
    int selectedKey_ = 0;
    int keypadX_;
    int keypadY_;
    std::array<KeypadKey, keypadKeyCount> keypadKeys_;
};

}  // namespace Boot
