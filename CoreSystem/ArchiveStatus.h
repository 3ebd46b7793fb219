#pragma once

namespace CoreSystem {

// How the last extraction went. When several things go wrong, the first one detected is kept
// (a stream that ends early is detected before the damage it causes); every failure is printed as
// it happens. libarchive does not check the gzip trailer, so compressed data that is damaged but
// still inflates is not noticed here: a caller that needs integrity compares the returned CRC.
enum class ArchiveStatus {
    clean,           // every member was written
    corruptArchive,  // the gzip stream or a tar header or member was damaged
    inputTruncated,  // the stream could not deliver the declared bytes (ended early, failed seek)
    refusedMember,  // a member would have landed or pointed outside, or was no file, folder or link
    writeFailed,    // the disk refused a member (disk full, file in the way, name too long, ...)
};

}  // namespace CoreSystem
