// Builds the loader's payload archives from their manifests and joins them into the one blob the
// loader embeds, with a C source that records each archive's size in blob order.
//
//   pack-payloads FILES_FOLDER BLOB LAYOUT_SOURCE MANIFEST...
//
// Every archive is a gzip-compressed ustar archive of plain files at its top level, sorted by
// name, owned by build:build, with one fixed modification time and a gzip header without name
// or time: the same manifests and files give the same bytes.

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// 2026-01-01 00:00:00 UTC, the time stamp of every member.
constexpr std::time_t memberTime = 1767225600;
constexpr const char* ownerName = "build";
constexpr la_int64_t ownerId = 1000;
constexpr int programMode = 0755;
constexpr int dataMode = 0664;

enum class Kind { driver, tool, file, placeholder };

struct Member {
    std::string name;
    Kind kind = Kind::placeholder;
    std::string description;
};

// What went wrong, for the message the build prints.
struct Failure {
    std::string message;
};

std::optional<Kind> kindNamed(const std::string& word) {
    if (word == "driver") {
        return Kind::driver;
    }
    if (word == "tool") {
        return Kind::tool;
    }
    if (word == "file") {
        return Kind::file;
    }
    if (word == "placeholder") {
        return Kind::placeholder;
    }
    return std::nullopt;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

// Lines "NAME KIND [DESCRIPTION]"; blank lines and lines starting with '#' are skipped.
std::vector<Member> readManifest(const std::string& path) {
    const std::optional<std::string> text = readFile(path);
    if (!text) {
        throw Failure{"cannot read " + path};
    }
    std::vector<Member> members;
    std::set<std::string> names;
    std::istringstream lines(*text);
    std::string line;
    for (int lineNumber = 1; std::getline(lines, line); ++lineNumber) {
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string where = path + ":" + std::to_string(lineNumber) + ": ";
        std::istringstream fields(line);
        Member member;
        std::string kindWord;
        fields >> member.name >> kindWord;
        const std::optional<Kind> kind = kindNamed(kindWord);
        if (member.name.empty() || !kind) {
            throw Failure{where + "expected NAME followed by driver, tool, file or placeholder"};
        }
        // Flat archives: a member name never names a folder.
        if (member.name.find('/') != std::string::npos || member.name == "." ||
            member.name == "..") {
            throw Failure{where + "member names must be plain file names"};
        }
        if (!names.insert(member.name).second) {
            throw Failure{where + member.name + " is listed twice"};
        }
        member.kind = *kind;
        std::getline(fields >> std::ws, member.description);
        if (member.kind == Kind::placeholder && member.description.empty()) {
            throw Failure{where + "a placeholder says what it stands for"};
        }
        members.push_back(member);
    }
    return members;
}

bool isProgram(const Member& member) {
    return member.kind == Kind::driver || member.kind == Kind::tool;
}

std::string contentOf(const Member& member, const std::string& filesFolder) {
    switch (member.kind) {
        case Kind::driver:
        case Kind::tool: {
            const char* program = member.kind == Kind::driver ? "unit-driver" : "unit-tool";
            return "#!/bin/sh\nexec " + std::string(program) + " " + member.name + " \"$@\"\n";
        }
        case Kind::file: {
            const std::string path = filesFolder + "/" + member.name;
            const std::optional<std::string> content = readFile(path);
            if (!content) {
                throw Failure{"cannot read " + path + " for member " + member.name};
            }
            return *content;
        }
        case Kind::placeholder:
            break;
    }
    return member.name + ": stands for the " + member.description +
           ". The simulated unit carries its name only; nothing loads this file.\n";
}

struct ArchiveDeleter {
    void operator()(archive* writer) const { archive_write_free(writer); }
};
struct EntryDeleter {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

la_ssize_t appendToText(archive* /*writer*/, void* bytes, const void* buffer, size_t length) {
    static_cast<std::string*>(bytes)->append(static_cast<const char*>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

void check(archive* writer, int result) {
    if (result != ARCHIVE_OK) {
        const char* error = archive_error_string(writer);
        throw Failure{std::string("archive: ") + (error != nullptr ? error : "failed")};
    }
}

std::string buildArchive(std::vector<Member> members, const std::string& filesFolder) {
    std::sort(members.begin(), members.end(),
              [](const Member& left, const Member& right) { return left.name < right.name; });
    std::string bytes;
    const std::unique_ptr<archive, ArchiveDeleter> writer(archive_write_new());
    archive* const handle = writer.get();
    check(handle, archive_write_set_format_ustar(handle));
    check(handle, archive_write_add_filter_gzip(handle));
    check(handle, archive_write_set_options(handle, "gzip:!timestamp,gzip:compression-level=9"));
    // No padding after the compressed stream: the archives lie back to back.
    check(handle, archive_write_set_bytes_in_last_block(handle, 1));
    check(handle, archive_write_open(handle, &bytes, nullptr, appendToText, nullptr));
    for (const Member& member : members) {
        const std::string content = contentOf(member, filesFolder);
        const std::unique_ptr<archive_entry, EntryDeleter> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), member.name.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), isProgram(member) ? programMode : dataMode);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(content.size()));
        archive_entry_set_uid(entry.get(), ownerId);
        archive_entry_set_gid(entry.get(), ownerId);
        archive_entry_set_uname(entry.get(), ownerName);
        archive_entry_set_gname(entry.get(), ownerName);
        archive_entry_set_mtime(entry.get(), memberTime, 0);
        check(handle, archive_write_header(handle, entry.get()));
        if (archive_write_data(handle, content.data(), content.size()) !=
            static_cast<la_ssize_t>(content.size())) {
            throw Failure{"archive: short write of " + member.name};
        }
    }
    check(handle, archive_write_close(handle));
    return bytes;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << content;
    stream.close();
    if (!stream) {
        throw Failure{"cannot write " + path};
    }
}

std::string layoutSource(const std::vector<std::size_t>& sizes) {
    std::string source =
        "/* Written by pack-payloads; do not edit. The size of each payload archive, in the order\n"
        "   they lie in the embedded blob. */\n"
        "const unsigned long payloadArchiveSizes[] = {";
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        source += (index == 0 ? "" : ", ") + std::to_string(sizes[index]) + "UL";
    }
    return source + "};\n";
}

int pack(const std::vector<std::string>& arguments) {
    if (arguments.size() < 4) {
        std::cerr << "usage: pack-payloads FILES_FOLDER BLOB LAYOUT_SOURCE MANIFEST...\n";
        return 2;
    }
    const std::string& filesFolder = arguments[0];
    std::string blob;
    std::vector<std::size_t> sizes;
    for (auto manifest = arguments.begin() + 3; manifest != arguments.end(); ++manifest) {
        const std::string archive = buildArchive(readManifest(*manifest), filesFolder);
        blob += archive;
        sizes.push_back(archive.size());
    }
    writeFile(arguments[1], blob);
    writeFile(arguments[2], layoutSource(sizes));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return pack(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Failure& failure) {
        std::cerr << "pack-payloads: " << failure.message << '\n';
        return 1;
    }
}
