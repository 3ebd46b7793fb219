#pragma once

#include <cstdint>
#include <string>

#include "boot/ui/UIState.h"

namespace Boot {

// Shows the result of the last installation and counts down to the reset.
class ResultUIState final : public UIState {
public:
    static constexpr int countdownSeconds = 5;

    using UIState::UIState;

    int run() override;
    StateChange handleButton(int button) override;
    void drawContent() override;

    const std::string& statusText() const { return statusText_; }
    const std::string& countdownText() const { return countdownText_; }
    // The text shown for an install status code.
    static std::string textForStatus(std::uint32_t status);

private:
    std::string countdownText_;
    std::string statusText_;
};

}  // namespace Boot
