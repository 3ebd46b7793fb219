#include "tools/PackageReport.h"

#include <array>
#include <cstdio>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/ComponentNames.h"
#include "tools/ComponentVersion.h"
#include "tools/NumberText.h"

namespace Packaging {
namespace {

constexpr std::uint32_t knownFlags = Boot::flagPasswordProtected | Boot::flagPartNumberLocked;

// The meaning of each flag bit that is set.
std::vector<std::string> flagMeanings(std::uint32_t flags) {
    std::vector<std::string> meanings;
    if ((flags & Boot::flagPasswordProtected) != 0) {
        meanings.emplace_back("password-protected");
    }
    if ((flags & Boot::flagPartNumberLocked) != 0) {
        meanings.emplace_back("part-number-locked");
    }
    if ((flags & ~knownFlags) != 0) {
        meanings.push_back("other bits " + NumberText::hex32(flags & ~knownFlags));
    }
    return meanings;
}

std::string kindName(PackageReader::Kind kind) {
    return kind == PackageReader::Kind::package ? "install package" : "installed record";
}

std::string field(const char* name, const std::string& value) {
    std::array<char, 20> label{};
    std::snprintf(label.data(), label.size(), "%-17s", name);
    return label.data() + value + "\n";
}

// One table row with aligned columns and no trailing blanks. Installed records have only the
// first columns.
std::string row(const std::string& index, const std::string& type, const std::string& name,
                const std::string& version, const std::string& dotted, const std::string& size,
                const std::string& offset, const std::string& crc) {
    std::array<char, 192> text{};
    std::snprintf(text.data(), text.size(), "%-5s  %4s %-13s  %10s %-13s  %12s  %12s  %s",
                  index.c_str(), type.c_str(), name.c_str(), version.c_str(), dotted.c_str(),
                  size.c_str(), offset.c_str(), crc.c_str());
    std::string line = text.data();
    line.erase(line.find_last_not_of(' ') + 1);
    return line + "\n";
}

std::string entryRow(std::size_t index, const Boot::ComponentEntry& entry, const std::string& size,
                     const std::string& offset, const std::string& crc) {
    return row(std::to_string(index), std::to_string(entry.type),
               ComponentNames::nameOf(entry.type), std::to_string(entry.version),
               "(" + ComponentVersion::format(entry.version) + ")", size, offset, crc);
}

// The seal's fields: what follows the data, and the check's verdict when there was one.
std::string sealFields(const PackageSealCheck& seal) {
    using Status = PackageSealCheck::Status;
    std::string found = "none";
    if (seal.found() == Status::valid) {
        found =
            PackageSealCheck::describeSeal(*seal.seal()) + (seal.verdict() ? "" : " (not checked)");
    } else if (seal.found() != Status::missing) {
        found = "unreadable: " + seal.problem(seal.found());
    }
    std::string fields = field("seal", found);
    if (seal.verdict() && seal.found() == Status::valid) {
        fields += field("seal check", *seal.verdict() == Status::valid
                                          ? "verifies"
                                          : "FAILED: " + seal.problem(*seal.verdict()));
    } else if (seal.verdict()) {
        fields += field("seal check", "FAILED: a seal is required");
    }
    return fields;
}

}  // namespace

std::string PackageReport::text(const PackageReader& package, const std::string& path,
                                const PackageSealCheck* seal) {
    const Boot::PackageHeader& header = package.header();
    const bool isPackage = package.kind() == PackageReader::Kind::package;
    std::string flagsText;
    for (const std::string& meaning : flagMeanings(header.flags())) {
        flagsText += (flagsText.empty() ? "" : ", ") + meaning;
    }
    std::string report = field("file", path) +
                         field("file size", std::to_string(package.fileSize()) + " bytes") +
                         field("kind", kindName(package.kind())) +
                         field("magic", NumberText::hex32(header.magic())) +
                         field("hardware family", std::to_string(header.hardwareFamily())) +
                         field("flags", NumberText::hex32(header.flags()) + " (" +
                                            (flagsText.empty() ? "none" : flagsText) + ")") +
                         field("count", std::to_string(header.count()));
    if (!isPackage) {
        report += "\n" + row("index", "type", "", "version", "", "", "", "");
        for (std::size_t index = 0; index < package.entries().size(); ++index) {
            report += entryRow(index, package.entries()[index], "", "", "");
        }
        return report;
    }
    report += field("table crc", NumberText::hex32(package.headerAndTableCrc()) +
                                     " (header and table, sealed by the signature)") +
              field("signature", std::to_string(Boot::signatureBlockSize) + " bytes at offset " +
                                     std::to_string(package.tableEnd()));
    if (seal != nullptr) {
        report += sealFields(*seal);
    }
    report += "\n" + row("index", "type", "", "version", "", "size", "offset", "crc");
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        const Boot::ComponentEntry& entry = package.entries()[index];
        report += entryRow(index, entry, std::to_string(entry.size), std::to_string(entry.offset),
                           NumberText::hex32(entry.crc) +
                               (package.withinFile(entry) ? "" : "  beyond the end of the file"));
    }
    return report;
}

std::string PackageReport::json(const PackageReader& package, const std::string& path,
                                const PackageSealCheck* seal) {
    const Boot::PackageHeader& header = package.header();
    const bool isPackage = package.kind() == PackageReader::Kind::package;
    // Ordered, so that the members keep the order the report has always had.
    nlohmann::ordered_json report = {
        {"file", path},
        {"fileSize", package.fileSize()},
        {"kind", isPackage ? "package" : "installed-record"},
        {"magic", header.magic()},
        {"hardwareFamily", header.hardwareFamily()},
        {"flags", header.flags()},
        {"flagMeanings", flagMeanings(header.flags())},
        {"count", header.count()},
    };
    if (isPackage) {
        report["tableCrc"] = NumberText::hex32(package.headerAndTableCrc());
        report["signatureOffset"] = package.tableEnd();
    }
    if (isPackage && seal != nullptr) {
        nlohmann::ordered_json& sealJson =
            report["seal"] = {{"status", std::string(Boot::PackageSeal::describe(seal->found()))}};
        if (seal->seal()) {
            sealJson["algorithm"] =
                std::string(Boot::PackageSeal::nameOf(seal->seal()->algorithm()));
            sealJson["fingerprint"] = Boot::PackageSeal::hex(seal->seal()->fingerprint());
        }
        sealJson["verified"] =
            seal->verdict()
                ? nlohmann::ordered_json(*seal->verdict() == PackageSealCheck::Status::valid)
                : nlohmann::ordered_json(nullptr);
        if (seal->verdict() && *seal->verdict() != PackageSealCheck::Status::valid) {
            sealJson["problem"] = seal->problem(*seal->verdict());
        }
    }
    nlohmann::ordered_json& components = report["components"] = nlohmann::ordered_json::array();
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        const Boot::ComponentEntry& entry = package.entries()[index];
        nlohmann::ordered_json component = {
            {"index", index},
            {"type", entry.type},
            {"typeName", ComponentNames::nameOf(entry.type)},
            {"version", entry.version},
            {"versionText", ComponentVersion::format(entry.version)},
        };
        if (isPackage) {
            component["size"] = entry.size;
            component["offset"] = entry.offset;
            component["crc"] = NumberText::hex32(entry.crc);
            component["withinFile"] = package.withinFile(entry);
        }
        components.push_back(std::move(component));
    }
    // A file name need not be UTF-8: bytes that are not become U+FFFD, so the text stays JSON.
    return report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace Packaging
