#pragma once

#include <string>

#include "boot/ui/UIState.h"

namespace Boot {

// Repartitions the eMMC, makes a fresh file system on it, mounts it as the data partition and
// shows how far it got. Takes no input.
class FormatUIState final : public UIState {
public:
    using UIState::UIState;

    // Formats; success is judged only by the marker file written last.
    int run() override;
    StateChange handleButton(int button) override;
    void drawContent() override;

    const std::string& message() const { return message_; }
    // 1 while formatting and after success, 0 after a failure.
    int status() const { return status_; }

private:
    void showStep(const std::string& message);

    std::string message_;
    int status_ = 1;
};

}  // namespace Boot
