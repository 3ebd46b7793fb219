#pragma once

#include "boot/RsaKey.h"

namespace Boot {

// The key built into the loader program, parsed on first use. Only the loader program links it:
// the layers below are handed the key, and the packaging tool never holds it.
const RsaKey& loaderKey();

}  // namespace Boot
