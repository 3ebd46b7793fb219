#pragma once

namespace Boot::LoaderVersion {

// The loader's own version: exported to every process it starts and shown on every screen.
inline constexpr int major = 2;
inline constexpr int minor = 9;
inline constexpr int build = 10543;

}  // namespace Boot::LoaderVersion
