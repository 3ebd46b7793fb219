#include "UITestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "CoreSystem/InputEvent.h"

namespace TestSupport {

Boot::InstallStatus RecordingOwner::installPackage(const std::string& packagePath) {
    installedPaths.push_back(packagePath);
    if (ui != nullptr) {
        ui->reportProgress(50, "Installing");
        if (asksForPassword) {
            passwords.push_back(ui->requestPassword());
        }
    }
    return result;
}

UITest::UITest(int width, int height, int layout) {
    // A screen that waits for a button nobody queued would spin for ever in fake time.
    clock.onAdvance([](Platform::Clock::Duration now) {
        if (now > std::chrono::hours(24)) {
            std::fputs("a screen waited a day for a button the test never queued\n", stderr);
            std::abort();
        }
    });
    root.writeFile("/tmp/graphics.conf", "video-mode = " + std::to_string(width) + " x " +
                                             std::to_string(height) + " @ 60\n");
    ui = std::make_unique<Boot::UIManager>(&owner);
    ui->setLayout(layout);
    owner.ui = ui.get();
}

void UITest::pressButtons(const std::vector<int>& buttons) {
    for (const int button : buttons) {
        const CoreSystem::SoftKey& key =
            ui->activeLayout().keys.at(static_cast<std::size_t>(button - 1));
        CoreSystem::InputEvent release;
        release.type = CoreSystem::InputEvent::typeTouch;
        release.touchKind = CoreSystem::InputEvent::touchRelease;
        release.x = key.x + 30;
        release.y = key.y + 30;
        ui->inputQueue().processTouch(release);
    }
}

}  // namespace TestSupport
