#include "InstallFixtures.h"

#include <gtest/gtest.h>

namespace TestSupport {

void PrintTo(const Report& report, std::ostream* out) {
    *out << report.percent << " \"" << report.text << '"';
}

std::vector<std::string> installLogLines(const TemporaryUnitRoot& root) {
    std::string text = root.readFile("/mnt/stick/install.log");
    for (std::size_t found = text.find(root.path()); found != std::string::npos;
         found = text.find(root.path(), found)) {
        text.erase(found, root.path().size());
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; start < text.size(); start = end + 2) {
        end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "unterminated line: " << text.substr(start);
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace TestSupport
