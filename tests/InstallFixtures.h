#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "boot/InstallUserInterface.h"

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

}  // namespace TestSupport
