#include "boot/LoaderKey.h"

#include <string_view>

// The PEM text of the loader's key, embedded by the build (zero-terminated).
extern "C" const unsigned char loaderKeyPem[];

namespace Boot {

const RsaKey& loaderKey() {
    static const RsaKey key{std::string_view(reinterpret_cast<const char*>(loaderKeyPem))};
    return key;
}

}  // namespace Boot
