#pragma once

#include <cstdint>

namespace Boot {

// Result of the install sequence and of every component installer. Installers may return other
// values; they are passed on unchanged.
enum class [[nodiscard]] InstallStatus : std::uint32_t{
    failure = 0,  // failure inside a component
    success = 1,
    invalidFile = 301,         // not loadable, wrong magic, bad signature or data CRC
    partNumberMismatch = 303,  // part-number lock text does not match
    corruptedTarFile = 304,    // an archive component did not extract cleanly
    invalidComponentType = 307,
    passwordIncorrect = 309,
    hardwareFamilyMismatch = 402,
    missingPartNumber = 403,
    missingSerialNumber = 404,
    cannotDowngradeEmmcDriver = 406,
};

}  // namespace Boot
