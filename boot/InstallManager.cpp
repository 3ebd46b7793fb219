#include "boot/InstallManager.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "CoreSystem/HardwareManager.h"
#include "CoreSystem/Utilities.h"
#include "boot/InstallerTable.h"
#include "platform/UnitRoot.h"

namespace Boot {
namespace {

using CoreSystem::Utilities;
using Hardware = CoreSystem::Hardware::Manager;

// What the wipe before an IPL removes; fixed paths of the data partition.
constexpr const char* wipedDirectories[] = {"/fs/etfs/nvdata", "/fs/etfs/root", "/fs/etfs/script",
                                            "/fs/etfs/temp"};
constexpr const char* wipedFiles[] = {"/fs/etfs/ProductionTest", "/fs/etfs/DvTest",
                                      "/fs/etfs/installed.kx1"};

// Removes the data partition's state, before an IPL component and every component after it.
void wipeDataPartition() {
    for (const char* directory : wipedDirectories) {
        const std::string path = Platform::UnitRoot::hostPath(directory);
        if (Utilities::isDirectory(path)) {
            Utilities::runShell("rm -R " + Utilities::shellQuoted(path));
        }
    }
    for (const char* file : wipedFiles) {
        const std::string path = Platform::UnitRoot::hostPath(file);
        // Like a folder the shell cannot remove, a file that cannot be removed stays: the wipe
        // clears what it can.
        if (Utilities::exists(path)) {
            static_cast<void>(Utilities::removeFileSynced(path));
        }
    }
}

}  // namespace

InstallManager::InstallManager(InstallUserInterface& userInterface, const RsaKey& key)
    : ui_(userInterface), key_(key), package_(installedPackagePath()) {
    log_.open(Utilities::stickPath("") + "install.log");
}

std::string InstallManager::installedPackagePath() {
    return Utilities::autoloadPath("installed.kx1");
}

std::string InstallManager::updatePackagePath() {
    return Utilities::autoloadPath(std::string("update") + ".kx1");
}

InstallStatus InstallManager::install(const std::string& packagePath) {
    if (package_.load(packagePath).magic() != packageMagic) {
        log_.line("Failed to load install package");
        return InstallStatus::invalidFile;
    }
    log_.line("Loaded install package");
    if (const InstallStatus status = verify(); status != InstallStatus::success) {
        return status;
    }
    if (const InstallStatus status = installComponents(); status != InstallStatus::success) {
        return status;
    }
    log_.line("Installation successful");
    // The record goes first: a power cut between the two steps then leaves either the update
    // package, which the next boot installs again, or the complete new record. A record that
    // cannot be written would leave the old versions on record for the next install's checks.
    if (!package_.writeInstalledRecord()) {
        log_.line("Failed to write installed record");
        return InstallStatus::failure;
    }
    if (packagePath == updatePackagePath()) {
        std::remove(packagePath.c_str());
    }
    log_.close();
    return InstallStatus::success;
}

void InstallManager::logSealProblem(PackageSeal::Status status) {
    log_.line("Invalid package seal: " + std::string(PackageSeal::describe(status)));
}

InstallStatus InstallManager::verify() {
    // A loader that requires seals refuses an unsealed package, or one sealed by another key,
    // before anything else; the seal's signature is checked with the component data.
    if (package_.requiresSeal()) {
        if (const PackageSeal::Status found = package_.checkSealKey();
            found != PackageSeal::Status::valid) {
            logSealProblem(found);
            return InstallStatus::invalidFile;
        }
        log_.line("Package seal names the loader's seal key");
    }
    const PackageHeader& header = package_.header();
    if (header.hardwareFamily() != Hardware::variantCode()) {
        log_.line("Package has invalid Hardware Family");
        return InstallStatus::hardwareFamilyMismatch;
    }
    log_.line("Hardware Family is compatible");
    if (Hardware::partNumber() == 0) {
        log_.line("No part number");
        return InstallStatus::missingPartNumber;
    }
    log_.line("Part number exists");
    if (Hardware::serialNumber() == 0) {
        log_.line("No serial number");
        return InstallStatus::missingSerialNumber;
    }
    log_.line("Serial number exists");
    if (!package_.verifySignature(key_)) {
        log_.line("Invalid package signature");
        return InstallStatus::invalidFile;
    }
    log_.line("Valid package signature");
    if ((header.flags() & flagPasswordProtected) != 0) {
        log_.line("Install package is password protected");
        const std::string password = ui_.requestPassword();
        if (!package_.decryptedTextEquals(key_, password, header.passwordBlock())) {
            log_.line("Password rejected");
            return InstallStatus::passwordIncorrect;
        }
        log_.line("Password accepted");
    } else {
        log_.line("Install package is not password protected");
    }
    if ((header.flags() & flagPartNumberLocked) != 0) {
        log_.line("Install package is part number locked");
        if (!package_.decryptedTextEquals(key_, lockedPartNumber, header.partNumberBlock())) {
            log_.line("Part number does not match hardware");
            return InstallStatus::partNumberMismatch;
        }
        log_.line("Part number matches hardware");
    }
    const bool dataValid = package_.verifyComponentData(ui_);
    if (package_.requiresSeal()) {
        if (package_.sealVerdict() != PackageSeal::Status::valid) {
            logSealProblem(package_.sealVerdict());
            return InstallStatus::invalidFile;
        }
        log_.line("Valid package seal");
    }
    if (!dataValid) {
        log_.line("Invalid component data");
        return InstallStatus::invalidFile;
    }
    log_.line("Valid component data");
    return InstallStatus::success;
}

InstallStatus InstallManager::installComponents() {
    // Shares of the progress bar follow the components' sizes.
    std::uint64_t total = 0;
    for (const ComponentEntry& entry : package_.components()) {
        total += entry.size;
    }
    float accumulated = 0.0F;
    bool wipe = false;
    for (std::size_t index = 0; std::cmp_less(index, package_.header().count()); ++index) {
        std::istream* stream = nullptr;
        ComponentEntry entry;
        if (!package_.getComponent(index, stream, entry)) {
            log_.line("Failed to load component from install package");
            return InstallStatus::failure;
        }
        const InstallerTable::Row* row = InstallerTable::find(entry.type);
        if (row == nullptr) {
            log_.line("Install: Error: 307 Unrecognized Component Type: " +
                      std::to_string(static_cast<std::int32_t>(entry.type)));
            return InstallStatus::invalidComponentType;
        }
        wipe = wipe || row->wipesDataPartition;
        if (wipe) {
            wipeDataPartition();
        }
        if (row->create == nullptr) {
            continue;
        }
        const std::unique_ptr<ComponentInstallerBase> installer = row->create();
        // Empty packages and empty components have no share to compute.
        const std::uint64_t share = total == 0 ? 0 : entry.size * 100 / total;
        const float percentPerByte =
            entry.size == 0 ? 0.0F : static_cast<float>(share) / static_cast<float>(entry.size);
        log_.line("Install: Component Type: " + std::to_string(entry.type));
        const InstallStatus result =
            installer->run(&ui_, entry, *stream, accumulated, percentPerByte, &log_);
        log_.line("Install Result: Component " + std::to_string(entry.type) + " status " +
                  std::to_string(static_cast<std::uint32_t>(result)));
        package_.setInstalledVersion(static_cast<std::int32_t>(entry.type), entry.version);
        accumulated += static_cast<float>(share);
        if (result != InstallStatus::success) {
            return result;
        }
    }
    return InstallStatus::success;
}

}  // namespace Boot
