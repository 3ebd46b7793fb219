#pragma once

#include <cstdint>
#include <string>

#include "boot/InstallLog.h"
#include "boot/InstallPackage.h"
#include "boot/InstallStatus.h"
#include "boot/InstallUserInterface.h"
#include "boot/RsaKey.h"

namespace Boot {

// Turns a chosen install package into an installed unit: the package checks in a fixed order,
// one installer per component in table order with progress weighted by size, and the installed
// record. Every step is written to the install log on the USB stick.
class InstallManager {
public:
    // Reads the installed record and opens the install log. `userInterface` receives progress
    // and password requests; `key` (the loader's key) opens the packages' signature, password
    // and part-number blocks. Both must outlive the manager.
    InstallManager(InstallUserInterface& userInterface, const RsaKey& key);

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
    const RsaKey& key_;
    InstallPackage package_;
    InstallLog log_;
};

}  // namespace Boot
