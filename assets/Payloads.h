#pragma once

#include <cstdint>

// The two gzip-compressed tar archives the loader unpacks into /tmp at start-up, built into the
// program back to back: the utilities payload begins at the byte where the loader file-system
// payload ends.
namespace Assets {

// One payload's bytes: the first, and one past the last.
struct PayloadBytes {
    const std::uint8_t* begin;
    const std::uint8_t* end;
};

// Drivers, libraries, display configurations, wireless files and the service and account files.
PayloadBytes loaderFileSystemPayload();
// The companion application, the network stack and services, shell and file-system tools.
PayloadBytes utilitiesPayload();

}  // namespace Assets
