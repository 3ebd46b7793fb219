#include "boot/bluetooth/BluetoothInstaller.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string_view>
#include <vector>

#include "CoreSystem/Console.h"
#include "CoreSystem/HardwareManager.h"
#include "CoreSystem/Utilities.h"
#include "boot/ComponentDataReader.h"
#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/Dfu.h"
#include "boot/bluetooth/DfuFile.h"
#include "platform/Clock.h"
#include "platform/PhysicalMemory.h"
#include "platform/SerialPort.h"
#include "platform/UnitRoot.h"

namespace Boot {
namespace {

using CoreSystem::Utilities;

constexpr std::string_view muxExitFrame{"\xBF\xFF\x00\x11SET CONTROL MUX 0\x00", 22};
constexpr std::string_view resetCommand{"\r\nRESET\r\n\0", 10};
constexpr std::string_view bootCommand{"\r\nBOOT 1\r\n", 10};
// The register whose bit 1 is cleared before the module is used, on M2 boards.
constexpr std::uint64_t moduleControlRegister = 0xE6051008;
constexpr std::uint32_t moduleControlBit = 1U << 1U;
constexpr int moduleBaudRate = 115200;
constexpr std::size_t resetReplyLimit = 1024;
constexpr const char* dfuFilePath = "/tmp/bluetooth.dfu";

bool writeCommand(Platform::SerialPort& port, std::string_view bytes) {
    return port.write(bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

// Parity is switched on for the boot-mode link and off for the text commands. A pseudo-terminal
// refuses parity, and the line works on without it, as on the unit with the driver's defaults.
void setEvenParity(Platform::SerialPort& port, bool on) {
    static_cast<void>(port.setEvenParity(on));
}

// The module's reply to the reset command, with its zero bytes turned into spaces. Only what has
// arrived is read: a module that said nothing must not hold the install.
std::string readResetReply(Platform::SerialPort& port) {
    std::array<char, resetReplyLimit> buffer{};
    std::string reply(buffer.data(), port.read(buffer.data(), buffer.size(), 0));
    std::ranges::replace(reply, '\0', ' ');
    return reply;
}

// Copies the entry's data (its full 64-bit size, from its full 64-bit offset) from the package to
// `hostPath`, piece by piece: the component costs no memory of its own size. False, with the copy
// removed, when the bytes read were not those verified. A copy the disk refused is left to the
// DFU file check.
bool copyComponent(const ComponentEntry& entry, std::istream& stream, const std::string& hostPath) {
    bool matches = false;
    {
        std::ofstream file(hostPath, std::ios::binary | std::ios::trunc);
        ComponentDataReader reader(entry, stream);
        std::array<char, std::size_t{64} * 1024> piece{};
        for (std::size_t count = reader.read(piece.data(), piece.size()); count > 0;
             count = reader.read(piece.data(), piece.size())) {
            file.write(piece.data(), static_cast<std::streamsize>(count));
        }
        matches = reader.matchesEntry();
    }
    if (!matches) {
        std::remove(hostPath.c_str());
    }
    return matches;
}

// The build number after "build " in the reset reply; nothing when the reply names none.
std::optional<long> deviceBuild(const std::string& reply) {
    const std::size_t found = reply.find("build ");
    if (found == std::string::npos) {
        return std::nullopt;
    }
    return std::strtol(reply.c_str() + found + 6, nullptr, 10);
}

}  // namespace

InstallStatus BluetoothInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                          InstallLog& installLog) {
    reportAtStart("Begin Bluetooth Update");
    installLog.line("-- Begin Bluetooth Update --");
    Utilities::runShell("devc-serusb");
    Utilities::runShell("devc-serscif -b115200 -I4096 -O4096 scifb1");
    Utilities::runShell("waitfor " +
                        Utilities::shellQuoted(Platform::UnitRoot::hostPath("/dev/ser1")));

    if (CoreSystem::Hardware::Manager::isM2()) {
        Platform::PhysicalMemory control =
            Platform::PhysicalMemory::map(moduleControlRegister, sizeof(std::uint32_t), true);
        if (control.isMapped()) {
            control.write32(0, control.read32(0) & ~moduleControlBit);
        }
        Platform::sleepMilliseconds(1500);
    }

    Platform::SerialPort port;
    for (const char* unitPath : {"/dev/serusb1", "/dev/ser1"}) {
        const std::string hostPath = Platform::UnitRoot::hostPath(unitPath);
        if (Utilities::exists(hostPath)) {
            installLog.line("Opening Bluetooth device " + hostPath + ".");
            port = Platform::SerialPort::open(hostPath, moduleBaudRate);
            break;
        }
    }
    if (!port.isOpen()) {
        installLog.line("Error opening Bluetooth device.  Aborting.");
        return InstallStatus::failure;
    }
    setEvenParity(port, false);

    if (!writeCommand(port, muxExitFrame)) {
        port.close();
        installLog.line("Failed to exit mux mode.  Aborting.");
        return InstallStatus::failure;
    }
    installLog.line("Success to exiting mux mode.");
    // What the module said before it left its multiplexer mode is of no use; a line that cannot
    // be emptied only gives the reset reply more to search.
    static_cast<void>(port.discardInputAfterDraining());

    installLog.line("Resetting Bluetooth device.");
    if (!writeCommand(port, resetCommand)) {
        port.close();
        installLog.line("Failed to send reset command.  Aborting.");
        return InstallStatus::failure;
    }
    Platform::sleepMilliseconds(3000);
    const std::optional<long> deviceVersion = deviceBuild(readResetReply(port));
    const std::string updateVersion = std::to_string(entry.version);
    if (!deviceVersion) {
        installLog.line(
            "Bluetooth device version is unknown (no build number in its reply). "
            "Update version = " +
            updateVersion);
    } else {
        installLog.line("Bluetooth device version = " + std::to_string(*deviceVersion) +
                        ". Update version = " + updateVersion);
        if (static_cast<std::uint32_t>(*deviceVersion) == entry.version) {
            port.close();
            installLog.line("Bluetooth firmware is already updated. Skipping installation.");
            return InstallStatus::success;
        }
    }

    const std::string dfuPath = Platform::UnitRoot::hostPath(dfuFilePath);
    if (!copyComponent(entry, stream, dfuPath)) {
        port.close();
        logDataChanged(installLog);
        return InstallStatus::invalidFile;
    }

    std::size_t imageLength = 0;
    const std::optional<std::vector<std::uint8_t>> dfuFile =
        Bluetooth::dfu_read_file(dfuPath, imageLength, false);
    if (!dfuFile) {
        port.close();
        installLog.line("DFU file error.  Aborting.");
        return InstallStatus::invalidFile;
    }

    if (!writeCommand(port, bootCommand)) {
        port.close();
        installLog.line("Failed to write to bluetooth device.  Aborting.");
        return InstallStatus::failure;
    }
    installLog.line("Write 'BOOT 1' successful to bluetooth device.");
    setEvenParity(port, true);
    Bluetooth::bcsp_open(port);
    Bluetooth::bcsp_init();
    if (Bluetooth::bcsp_link_status() != Bluetooth::BcspLinkStatus::established) {
        installLog.line("Timeout while connecting to device.");
        port.close();
        Bluetooth::bcsp_close();
        return InstallStatus::failure;
    }

    if (Bluetooth::dfu_enter_dfu_mode() != Bluetooth::DfuModeResult::detachAndResetSent) {
        CoreSystem::Console::print("Could not put device into DFU mode\n");
    }
    Platform::sleepMilliseconds(200);
    // The link comes up again with the chip in download mode; a link that stays down shows in
    // the download's first request.
    Bluetooth::bcsp_init();
    const Bluetooth::DfuDownloadResult downloaded =
        Bluetooth::dfu_download(dfuFile->data(), imageLength);
    port.close();
    Bluetooth::bcsp_close();
    if (downloaded != Bluetooth::DfuDownloadResult::done) {
        installLog.line("DFU upgrade error.");
        return InstallStatus::failure;
    }
    CoreSystem::Console::print("Device updated successfully.\n");
    reportAtEnd(entry, "End Bluetooth Update");
    installLog.line("-- Bluetooth Update Complete --");
    return InstallStatus::success;
}

}  // namespace Boot
