#include "ApplicationArchive.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "BenchSupport.h"

namespace BenchSupport {
namespace {

constexpr std::uint64_t smallestFile = 256;
constexpr std::uint64_t largestFile = std::uint64_t{2} << 20U;
constexpr std::size_t pieceSize = std::size_t{64} * 1024U;
constexpr std::int64_t memberTime = 1600000000;

constexpr std::array<const char*, 7> folders = {
    "app/bin",          "app/lib",        "app/lib/plugins", "app/share/fonts",
    "app/share/images", "app/share/text", "app/config"};

constexpr std::array<std::string_view, 32> words = {
    "display", "unit",   "screen",  "button", "value",  "true",   "false",    "return",
    "window",  "layout", "width",   "height", "colour", "font",   "message",  "status",
    "0x1F40",  "10240",  "-1",      "=",      "{",      "}",      "import",   "static",
    "const",   "update", "install", "config", "map",    "engine", "language", "version"};

class PseudoRandom {
public:
    explicit PseudoRandom(std::uint64_t seed) : generator_(seed) {}

    std::uint64_t next() { return generator_.next(); }
    // From 0 to bound - 1; the slight bias of the remainder does not matter here.
    std::uint64_t below(std::uint64_t bound) { return generator_.next() % bound; }
    std::uint64_t logUniform(std::uint64_t lowest, std::uint64_t highest) {
        return BenchSupport::logUniform(generator_, lowest, highest);
    }

private:
    SplitMix64 generator_;
};

// Lines of words, as in sources, configuration and translation files.
void fillTextLike(PseudoRandom& random, std::span<char> piece) {
    std::size_t filled = 0;
    while (filled < piece.size()) {
        const std::uint64_t choice = random.next();
        const std::string_view word = words.at(choice % words.size());
        const std::size_t count = std::min(word.size(), piece.size() - filled);
        std::copy_n(word.begin(), count, piece.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += count;
        if (filled < piece.size()) {
            piece[filled++] = (choice >> 32U) % 10 == 0 ? '\n' : ' ';
        }
    }
}

void fillIncompressible(PseudoRandom& random, std::span<char> piece) {
    for (std::size_t index = 0; index < piece.size(); index += sizeof(std::uint64_t)) {
        const std::uint64_t word = random.next();
        for (std::size_t byte = 0; byte < sizeof word && index + byte < piece.size(); ++byte) {
            piece[index + byte] = static_cast<char>(word >> (8 * byte));
        }
    }
}

struct WriterDeleter {
    void operator()(struct archive* writer) const { archive_write_free(writer); }
};
struct ReaderDeleter {
    void operator()(struct archive* reader) const { archive_read_free(reader); }
};
struct EntryDeleter {
    void operator()(struct archive_entry* entry) const { archive_entry_free(entry); }
};

bool writeHeader(struct archive* writer, const std::string& path, unsigned type, int mode,
                 std::uint64_t size) {
    const std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), path.c_str());
    archive_entry_set_filetype(entry.get(), type);
    archive_entry_set_perm(entry.get(), static_cast<mode_t>(mode));
    archive_entry_set_mtime(entry.get(), memberTime, 0);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
    return archive_write_header(writer, entry.get()) == ARCHIVE_OK;
}

}  // namespace

std::optional<ApplicationArchive> writeApplicationArchive(const std::string& path,
                                                          std::uint64_t contentBytes,
                                                          std::string& error) {
    const std::unique_ptr<struct archive, WriterDeleter> owner(archive_write_new());
    struct archive* writer = owner.get();
    const auto failed = [&]() -> std::optional<ApplicationArchive> {
        const char* text = archive_error_string(writer);
        error = path + ": " + (text != nullptr ? text : "cannot write the archive");
        return std::nullopt;
    };
    if (writer == nullptr || archive_write_set_format_pax_restricted(writer) != ARCHIVE_OK ||
        archive_write_add_filter_gzip(writer) != ARCHIVE_OK ||
        archive_write_open_filename(writer, path.c_str()) != ARCHIVE_OK) {
        return failed();
    }
    ApplicationArchive archive;
    for (const char* folder : folders) {
        if (!writeHeader(writer, folder, AE_IFDIR, 0755, 0)) {
            return failed();
        }
        ++archive.entries;
    }

    PseudoRandom random(0x13198A2E03707344);
    std::vector<char> buffer(pieceSize);
    while (archive.contentBytes < contentBytes) {
        const std::uint64_t size = std::min(contentBytes - archive.contentBytes,
                                            random.logUniform(smallestFile, largestFile));
        const bool textLike = random.below(2) == 0;
        const std::string member = std::string(folders.at(random.below(folders.size()))) +
                                   "/file-" + std::to_string(archive.files) +
                                   (textLike ? ".txt" : ".bin");
        if (!writeHeader(writer, member, AE_IFREG, textLike ? 0644 : 0755, size)) {
            return failed();
        }
        for (std::uint64_t remaining = size; remaining > 0;) {
            const std::span piece(buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(
                                                     remaining, pieceSize)));
            if (textLike) {
                fillTextLike(random, piece);
            } else {
                fillIncompressible(random, piece);
            }
            if (archive_write_data(writer, piece.data(), piece.size()) !=
                static_cast<la_ssize_t>(piece.size())) {
                return failed();
            }
            remaining -= piece.size();
        }
        ++archive.files;
        ++archive.entries;
        archive.contentBytes += size;
    }
    if (archive_write_close(writer) != ARCHIVE_OK) {
        return failed();
    }
    // Filter 0 is the one nearest the format: what it was given is the tar stream; the last one
    // wrote the file.
    archive.tarBytes = static_cast<std::uint64_t>(archive_filter_bytes(writer, 0));
    archive.compressedBytes = static_cast<std::uint64_t>(archive_filter_bytes(writer, -1));
    return archive;
}

std::optional<ApplicationArchive> describeArchive(const std::string& path, std::string& error) {
    const std::unique_ptr<struct archive, ReaderDeleter> owner(archive_read_new());
    struct archive* reader = owner.get();
    const auto failed = [&]() -> std::optional<ApplicationArchive> {
        const char* text = archive_error_string(reader);
        error = path + ": " + (text != nullptr ? text : "cannot read the archive");
        return std::nullopt;
    };
    if (reader == nullptr || archive_read_support_format_tar(reader) != ARCHIVE_OK ||
        archive_read_support_filter_gzip(reader) != ARCHIVE_OK ||
        archive_read_open_filename(reader, path.c_str(), pieceSize) != ARCHIVE_OK) {
        return failed();
    }
    ApplicationArchive archive;
    struct archive_entry* entry = nullptr;
    int status = ARCHIVE_OK;
    while ((status = archive_read_next_header(reader, &entry)) == ARCHIVE_OK) {
        ++archive.entries;
        if (archive_entry_filetype(entry) == AE_IFREG) {
            ++archive.files;
            archive.contentBytes += static_cast<std::uint64_t>(archive_entry_size(entry));
        }
        if (archive_read_data_skip(reader) != ARCHIVE_OK) {
            return failed();
        }
    }
    if (status != ARCHIVE_EOF) {
        return failed();
    }
    archive.tarBytes = static_cast<std::uint64_t>(archive_filter_bytes(reader, 0));
    archive.compressedBytes = static_cast<std::uint64_t>(archive_filter_bytes(reader, -1));
    return archive;
}

}  // namespace BenchSupport
