#pragma once

#include "boot/ui/UIState.h"

namespace Boot {

// Shown while the controller waits for a USB stick or a connection. The cancel button turns the
// unit off.
class WaitUIState final : public UIState {
public:
    using UIState::UIState;

    StateChange handleButton(int button) override;
    void drawContent() override;
};

}  // namespace Boot
