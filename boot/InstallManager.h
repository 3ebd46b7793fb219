#pragma once

#include <cstdint>
#include <string>

#include "boot/InstallLog.h"
#include "boot/InstallPackage.h"
#include "boot/InstallStatus.h"
#include "boot/InstallUserInterface.h"

namespace Boot {

// Turns a chosen install package into an installed unit: the package checks in a fixed order,
// one installer per component in table order with progress weighted by size, and the installed
// record. Every step is written to the install log on the USB stick.
class InstallManager {
public:
    // Reads the installed record and opens the install log. `userInterface` receives progress
    // and password requests and must outlive the manager.
    explicit InstallManager(InstallUserInterface& userInterface);

    // Verifies and installs the package at `packagePath` (a host path).
    InstallStatus install(const std::string& packagePath);

    // The data root's installed record and update package, as host paths.
    static std::string installedPackagePath();
    static std::string updatePackagePath();

    InstallPackage& package() { return package_; }

private:
    InstallStatus verify();
    void logSealProblem(PackageSeal::Status status);
    InstallStatus installComponents();

    InstallUserInterface& ui_;
    InstallPackage package_;
    InstallLog log_;
};

}  // namespace Boot
