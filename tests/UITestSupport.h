#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "boot/ui/UIManager.h"
#include "boot/ui/UIOwner.h"
#include "platform/testkit/FakeClock.h"

namespace TestSupport {

// Stands in for the controller: records the packages it is asked to install and, while
// "installing", may report progress and ask for the password as the install sequence does.
class RecordingOwner final : public Boot::UIOwner {
public:
    Boot::InstallStatus installPackage(const std::string& packagePath) override;

    Boot::UIManager* ui = nullptr;
    Boot::InstallStatus result = Boot::InstallStatus::success;
    bool asksForPassword = false;
    std::vector<std::string> installedPaths;
    std::vector<std::string> passwords;
};

// A UI manager in a fresh unit root of the given window size, with time that passes only when
// the code under test sleeps, and helpers that press its buttons.
class UITest : public ::testing::Test {
protected:
    explicit UITest(int width = 800, int height = 480, int layout = 2);

    // Queues a touch release on the middle of each button's soft key, in this order.
    void pressButtons(const std::vector<int>& buttons);
    void pressButton(int button) { pressButtons({button}); }

    TemporaryUnitRoot root;
    Platform::Testkit::FakeClock clock;
    RecordingOwner owner;
    std::unique_ptr<Boot::UIManager> ui;
};

}  // namespace TestSupport
