#include "sim/common/UnitConfiguration.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "platform/UnitRoot.h"
#include "sim/common/UnitPaths.h"

namespace Sim {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool parseNumber(const std::string& text, std::uint32_t& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end;
}

}  // namespace

std::optional<UnitConfiguration> UnitConfiguration::load(const std::string& unitRoot,
                                                         std::string& error) {
    const std::string path = unitRoot + UnitPaths::configuration;
    std::ifstream file(path);
    if (!file) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    UnitConfiguration configuration;
    std::string line;
    int lineNumber = 0;
    while (std::getline(file, line)) {
        ++lineNumber;
        line = trimmed(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        if (equals == std::string::npos) {
            error = where + "expected 'key = value'";
            return std::nullopt;
        }
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        bool valid = true;
        if (key == "display-type") {
            valid = parseNumber(value, configuration.displayType);
        } else if (key == "variant-code") {
            valid = parseNumber(value, configuration.variantCode);
        } else if (key == "part-number") {
            valid = parseNumber(value, configuration.partNumber);
        } else if (key == "serial-number") {
            valid = parseNumber(value, configuration.serialNumber);
        } else if (key == "bluetooth-build") {
            valid = parseNumber(value, configuration.bluetoothBuild);
        } else if (key == "data-partition") {
            valid = value == "usable" || value == "unusable";
            configuration.dataPartitionUsable = value == "usable";
        } else if (key == "attached") {
            configuration.attached.clear();
            std::istringstream words(value);
            for (std::string device; words >> device;) {
                configuration.attached.insert(device);
            }
        } else {
            error = where;
            error.append("unknown key '").append(key).append("'");
            return std::nullopt;
        }
        if (!valid) {
            error = where;
            error.append("bad value '").append(value).append("' for ").append(key);
            return std::nullopt;
        }
    }
    return configuration;
}

UnitConfiguration UnitConfiguration::loadCurrent() {
    std::string error;
    return load(Platform::UnitRoot::prefix(), error).value_or(UnitConfiguration{});
}

std::string UnitConfiguration::text() const {
    std::ostringstream out;
    out << "display-type = " << displayType << "\n"
        << "variant-code = " << variantCode << "\n"
        << "part-number = " << partNumber << "\n"
        << "serial-number = " << serialNumber << "\n"
        << "bluetooth-build = " << bluetoothBuild << "\n"
        << "data-partition = " << (dataPartitionUsable ? "usable" : "unusable") << "\n"
        << "attached =";
    for (const std::string& device : attached) {
        out << " " << device;
    }
    out << "\n";
    return out.str();
}

bool UnitConfiguration::save(const std::string& unitRoot) const {
    std::ofstream file(unitRoot + UnitPaths::configuration, std::ios::trunc);
    file << text();
    return static_cast<bool>(file.flush());
}

}  // namespace Sim
