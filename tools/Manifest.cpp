#include "tools/Manifest.h"

#include <filesystem>
#include <map>
#include <optional>

#include "boot/PackageFormat.h"
#include "tools/ComponentNames.h"
#include "tools/ComponentVersion.h"
#include "tools/NumberText.h"
#include "tools/RsaPublicKey.h"
#include "tools/TextFile.h"

namespace Packaging {
namespace {

constexpr std::string_view blanks = " \t\r";

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A '#' at the start of the line or after a blank starts a comment, so texts and paths may
// still hold '#' inside a word.
std::string_view withoutComment(std::string_view line) {
    for (std::size_t index = 0; index < line.size(); ++index) {
        if (line[index] == '#' &&
            (index == 0 || blanks.find(line[index - 1]) != std::string_view::npos)) {
            return line.substr(0, index);
        }
    }
    return line;
}

// Splits off the first word of `rest`, leaving the remainder trimmed.
std::string_view nextWord(std::string_view& rest) {
    const std::size_t end = rest.find_first_of(blanks);
    const std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : trimmed(rest.substr(end));
    return word;
}

class Parser {
public:
    Parser(const std::string& baseDirectory, Manifest& manifest, Manifest::Error& error)
        : baseDirectory_(baseDirectory), manifest_(manifest), error_(error) {}

    bool line(int number, std::string_view text) {
        lineNumber_ = number;
        std::string_view rest = trimmed(withoutComment(text));
        if (rest.empty()) {
            return true;
        }
        const std::string keyword(nextWord(rest));
        if (keyword == "component") {
            return component(rest);
        }
        if (keyword != "hardware-family" && keyword != "flags" && keyword != "password" &&
            keyword != "part-number-lock") {
            return fail("unknown setting '" + keyword +
                        "' (expected hardware-family, flags, password, part-number-lock or "
                        "component)");
        }
        if (const auto first = firstLines_.find(keyword); first != firstLines_.end()) {
            return fail(keyword + " is given twice (first on line " +
                        std::to_string(first->second) + ")");
        }
        firstLines_[keyword] = number;
        if (keyword == "password" || keyword == "part-number-lock") {
            return sealedText(keyword, rest);
        }
        const std::optional<std::uint32_t> value = NumberText::parseUnsigned32(rest);
        if (!value) {
            return fail(keyword + " needs one number (decimal or 0x hexadecimal, 32 bits), not '" +
                        std::string(rest) + "'");
        }
        (keyword == "flags" ? manifest_.description.flags : manifest_.description.hardwareFamily) =
            *value;
        return true;
    }

    bool finish() {
        PackageDescription& description = manifest_.description;
        if (!firstLines_.contains("hardware-family")) {
            lineNumber_ = 0;
            return fail("the manifest has no hardware-family line");
        }
        if (description.password) {
            description.flags |= Boot::flagPasswordProtected;
        }
        if (description.partNumberLock) {
            description.flags |= Boot::flagPartNumberLocked;
        }
        // A flag without its text would lock the package for good: the unit could never
        // open the empty block.
        lineNumber_ = firstLines_.contains("flags") ? firstLines_.at("flags") : 0;
        if (!description.password && (description.flags & Boot::flagPasswordProtected) != 0) {
            return fail("flags sets bit 0x2 (password protected) but there is no password line");
        }
        if (!description.partNumberLock && (description.flags & Boot::flagPartNumberLocked) != 0) {
            return fail(
                "flags sets bit 0x4 (part-number locked) but there is no part-number-lock line");
        }
        return true;
    }

private:
    bool sealedText(const std::string& keyword, std::string_view text) {
        if (text.empty()) {
            return fail(keyword + " needs a text");
        }
        if (text.size() > RsaPublicKey::maximumPlaintext) {
            return fail(keyword + " text is " + std::to_string(text.size()) +
                        " bytes; one RSA block holds at most " +
                        std::to_string(RsaPublicKey::maximumPlaintext));
        }
        if (text.find('\0') != std::string_view::npos) {
            return fail(keyword + " text holds a zero byte, which would end it on the unit");
        }
        (keyword == "password" ? manifest_.description.password
                               : manifest_.description.partNumberLock) = std::string(text);
        return true;
    }

    bool component(std::string_view rest) {
        const std::string_view typeText = nextWord(rest);
        const std::string_view versionText = nextWord(rest);
        if (rest.empty()) {
            return fail("component needs TYPE VERSION PATH");
        }
        const std::optional<std::uint32_t> type = ComponentNames::typeFrom(typeText);
        if (!type) {
            return fail("unknown component type '" + std::string(typeText) +
                        "' (1 to 15 or one of " + ComponentNames::allNames() + ")");
        }
        std::string problem;
        const std::optional<std::uint32_t> version = ComponentVersion::parse(versionText, problem);
        if (!version) {
            return fail(problem);
        }
        std::filesystem::path path(rest);
        if (path.is_relative()) {
            path = std::filesystem::path(baseDirectory_) / path;
        }
        manifest_.description.components.push_back(
            {.type = *type, .version = *version, .path = path.string()});
        manifest_.componentLines.push_back(lineNumber_);
        return true;
    }

    bool fail(std::string message) {
        error_ = {.line = lineNumber_, .message = std::move(message)};
        return false;
    }

    const std::string& baseDirectory_;
    Manifest& manifest_;
    Manifest::Error& error_;
    int lineNumber_ = 0;
    std::map<std::string, int> firstLines_;
};

}  // namespace

bool Manifest::parse(std::string_view text, const std::string& baseDirectory, Manifest& manifest,
                     Error& error) {
    manifest = Manifest{};
    Parser parser(baseDirectory, manifest, error);
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (!parser.line(++number, text.substr(0, end))) {
            return false;
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return parser.finish();
}

bool Manifest::load(const std::string& path, Manifest& manifest, std::string& error) {
    std::string text;
    if (!TextFile::read(path, text)) {
        error = "cannot read manifest " + path;
        return false;
    }
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    Error problem;
    if (!parse(text, folder.empty() ? "." : folder.string(), manifest, problem)) {
        error = path + (problem.line > 0 ? ":" + std::to_string(problem.line) : "") + ": " +
                problem.message;
        return false;
    }
    return true;
}

}  // namespace Packaging
