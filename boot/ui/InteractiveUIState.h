#pragma once

#include "boot/ui/UIState.h"

namespace Boot {

// The package selection: one entry at a time, moved with up and down, chosen with select.
class InteractiveUIState final : public UIState {
public:
    using UIState::UIState;

    StateChange handleButton(int button) override;
    void drawContent() override;
};

}  // namespace Boot
