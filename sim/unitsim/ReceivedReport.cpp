#include "sim/unitsim/ReceivedReport.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "sim/common/UnitPaths.h"

namespace Sim::Unitsim {

std::string receivedReport(const UnitFolder& unit) {
    namespace fs = std::filesystem;
    const std::string folder = unit.hostPath(UnitPaths::receivedFolder);
    std::error_code error;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::string report;
    for (const fs::path& file : files) {
        std::error_code sizeError;
        const std::uintmax_t size = fs::file_size(file, sizeError);
        report += "== " + file.filename().string() + " (" + std::to_string(sizeError ? 0 : size) +
                  " bytes)\n";
        if (file.extension() == ".log") {
            report += readWholeFile(file.string()).value_or("");
        }
    }
    return report;
}

}  // namespace Sim::Unitsim
