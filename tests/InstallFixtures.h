#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "boot/InstallUserInterface.h"
#include "boot/PackageSeal.h"
#include "platform/testkit/DeviceServer.h"

// What tests of the install sequence and the installers observe.
namespace TestSupport {

struct Report {
    int percent;
    std::string text;
    bool operator==(const Report&) const = default;
};

void PrintTo(const Report& report, std::ostream* out);

// Records the progress reported and answers password requests with `password`.
class RecordingInterface final : public Boot::InstallUserInterface {
public:
    void reportProgress(int percent, const std::string& text) override {
        reports.push_back({percent, text});
    }
    std::string requestPassword() override {
        ++passwordRequests;
        return password;
    }

    std::vector<Report> reports;
    std::string password;
    int passwordRequests = 0;
};

// The lines of the install log on the unit's stick (each must end in "\r\n"), with the unit
// root taken out of the paths.
std::vector<std::string> installLogLines(const TemporaryUnitRoot& root);

// The seal block that `key` makes over `package`, to append to it.
std::string sealBlock(std::string_view package, const Boot::PackageSeal::Key& key);

// What a sealed package's check records of a component whose data it read as `seen`, after the
// package bytes `before`.
std::shared_ptr<const Boot::SealedData> sealedData(std::string_view before, std::string_view seen);

// A unit the install sequence runs on in-process: family M2, the stick and the data partition,
// and an IPL control driver whose factory data gives part number 1234, serial number 5678 and
// hardware family 1.
class LoaderUnitTest : public ::testing::Test {
protected:
    LoaderUnitTest();
    void SetUp() override;
    void TearDown() override;

    TemporaryUnitRoot root;

private:
    Platform::Testkit::DeviceServer ipl_;
};

}  // namespace TestSupport
