#include "ArchiveFixtures.h"

#include <archive_entry.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

namespace TestSupport {
namespace {

la_ssize_t appendToString(struct archive* /*archive*/, void* client, const void* buffer,
                          size_t length) {
    static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

// Runs `addEntries` on a writer in the given format, with or without gzip, and returns the bytes.
template <typename AddEntries>
std::string writeArchive(int (*setFormat)(struct archive*), bool gzip, AddEntries addEntries) {
    std::string bytes;
    struct archive* writer = archive_write_new();
    setFormat(writer);
    if (gzip) {
        archive_write_add_filter_gzip(writer);
        archive_write_set_bytes_in_last_block(writer, 1);  // no padding after the gzip stream
    }
    EXPECT_EQ(archive_write_open(writer, &bytes, nullptr, appendToString, nullptr), ARCHIVE_OK);
    addEntries(writer);
    EXPECT_EQ(archive_write_close(writer), ARCHIVE_OK);
    archive_write_free(writer);
    return bytes;
}

void addEntry(struct archive* writer, const Member& member) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, member.path.c_str());
    archive_entry_set_filetype(entry, member.type);
    const unsigned defaultMode = member.type == AE_IFDIR ? 0755 : 0644;
    archive_entry_set_perm(entry, member.mode != 0 ? member.mode : defaultMode);
    archive_entry_set_mtime(entry, 1600000000, 0);
    if (member.type == AE_IFCHR || member.type == AE_IFBLK) {
        archive_entry_set_rdev(entry, makedev(1, 3));
    }
    if (!member.symlinkTarget.empty()) {
        archive_entry_set_symlink(entry, member.symlinkTarget.c_str());
    }
    if (!member.hardlinkTarget.empty()) {
        archive_entry_set_hardlink(entry, member.hardlinkTarget.c_str());
    }
    archive_entry_set_size(entry, static_cast<la_int64_t>(member.contents.size()));
    EXPECT_EQ(archive_write_header(writer, entry), ARCHIVE_OK) << member.path;
    if (!member.contents.empty()) {
        archive_write_data(writer, member.contents.data(), member.contents.size());
    }
    archive_entry_free(entry);
}

}  // namespace

std::string tarBytes(const std::vector<Member>& members) {
    return writeArchive(archive_write_set_format_pax_restricted, false, [&](auto* writer) {
        for (const Member& member : members) {
            addEntry(writer, member);
        }
    });
}

std::string gzipBytes(const std::string& raw) {
    return writeArchive(archive_write_set_format_raw, true,
                        [&](auto* writer) { addEntry(writer, {.path = "raw", .contents = raw}); });
}

std::string tarGz(const std::vector<Member>& members) {
    return gzipBytes(tarBytes(members));
}

std::string randomBytes(std::size_t count) {
    std::mt19937 generator(12345);  // NOLINT(cert-msc32-c,cert-msc51-cpp): same bytes every run
    std::string bytes(count, '\0');
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(generator()); });
    return bytes;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) : previousHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit lowered = previous_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
}

FileSizeLimit::~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    static_cast<void>(std::signal(SIGXFSZ, previousHandler_));
}

}  // namespace TestSupport
