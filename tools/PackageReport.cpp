#include "tools/PackageReport.h"

#include <array>
#include <cstdio>
#include <vector>

#include "tools/ComponentNames.h"
#include "tools/ComponentVersion.h"
#include "tools/JsonWriter.h"
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

}  // namespace

std::string PackageReport::text(const PackageReader& package, const std::string& path) {
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
    report += "\n" + row("index", "type", "", "version", "", "size", "offset", "crc");
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        const Boot::ComponentEntry& entry = package.entries()[index];
        report += entryRow(index, entry, std::to_string(entry.size), std::to_string(entry.offset),
                           NumberText::hex32(entry.crc) +
                               (package.withinFile(entry) ? "" : "  beyond the end of the file"));
    }
    return report;
}

std::string PackageReport::json(const PackageReader& package, const std::string& path) {
    const Boot::PackageHeader& header = package.header();
    const bool isPackage = package.kind() == PackageReader::Kind::package;
    JsonWriter json;
    json.beginObject()
        .key("file")
        .value(path)
        .key("fileSize")
        .number(package.fileSize())
        .key("kind")
        .value(isPackage ? "package" : "installed-record")
        .key("magic")
        .number(header.magic())
        .key("hardwareFamily")
        .number(header.hardwareFamily())
        .key("flags")
        .number(header.flags())
        .key("flagMeanings")
        .beginArray();
    for (const std::string& meaning : flagMeanings(header.flags())) {
        json.value(meaning);
    }
    json.endArray().key("count").signedNumber(header.count());
    if (isPackage) {
        json.key("tableCrc")
            .value(NumberText::hex32(package.headerAndTableCrc()))
            .key("signatureOffset")
            .number(package.tableEnd());
    }
    json.key("components").beginArray();
    for (std::size_t index = 0; index < package.entries().size(); ++index) {
        const Boot::ComponentEntry& entry = package.entries()[index];
        json.beginObject()
            .key("index")
            .number(index)
            .key("type")
            .number(entry.type)
            .key("typeName")
            .value(ComponentNames::nameOf(entry.type))
            .key("version")
            .number(entry.version)
            .key("versionText")
            .value(ComponentVersion::format(entry.version));
        if (isPackage) {
            json.key("size")
                .number(entry.size)
                .key("offset")
                .number(entry.offset)
                .key("crc")
                .value(NumberText::hex32(entry.crc))
                .key("withinFile")
                .boolean(package.withinFile(entry));
        }
        json.endObject();
    }
    json.endArray().endObject();
    return json.text() + "\n";
}

}  // namespace Packaging
