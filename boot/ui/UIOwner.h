#pragma once

#include <string>

#include "boot/InstallStatus.h"

namespace Boot {

// What the screens need from the controller that owns the UI manager.
class UIOwner {
public:
    UIOwner() = default;
    UIOwner(const UIOwner&) = delete;
    UIOwner& operator=(const UIOwner&) = delete;
    UIOwner(UIOwner&&) = delete;
    UIOwner& operator=(UIOwner&&) = delete;
    virtual ~UIOwner() = default;

    // Runs the install sequence for the package at `packagePath` (a host path).
    virtual InstallStatus installPackage(const std::string& packagePath) = 0;
};

}  // namespace Boot
