#pragma once

#include "boot/ui/UIState.h"

namespace Boot {

// Asks whether the selected package is to be installed.
class ConfirmUIState final : public UIState {
public:
    using UIState::UIState;

    StateChange handleButton(int button) override;
    void drawContent() override;
};

}  // namespace Boot
