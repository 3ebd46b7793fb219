#include "assets/Payloads.h"

#include <cassert>
#include <cstddef>

// Written by the build (see assets/CMakeLists.txt): the payload archives as one blob, and the
// size of each archive in blob order.
extern "C" {
extern const unsigned char payloadArchives[];
extern const unsigned long payloadArchives_size;
extern const unsigned long payloadArchiveSizes[2];
}

namespace Assets {
namespace {

const std::uint8_t* blobAt(unsigned long offset) {
    assert(payloadArchiveSizes[0] + payloadArchiveSizes[1] == payloadArchives_size);
    return payloadArchives + static_cast<std::size_t>(offset);
}

}  // namespace

PayloadBytes loaderFileSystemPayload() {
    return {blobAt(0), blobAt(payloadArchiveSizes[0])};
}

PayloadBytes utilitiesPayload() {
    return {blobAt(payloadArchiveSizes[0]), blobAt(payloadArchives_size)};
}

}  // namespace Assets
