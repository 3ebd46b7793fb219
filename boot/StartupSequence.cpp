#include "boot/StartupSequence.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "CoreSystem/ArchiveManager.h"
#include "CoreSystem/Utilities.h"
#include "boot/LoaderVersion.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/ProcessManager.h"
#include "platform/SystemLog.h"
#include "platform/UnitRoot.h"

namespace Boot {

namespace {

using CoreSystem::Utilities;
using Platform::UnitRoot;

constexpr int logCode = 12345;
constexpr int logSeverity = 6;

// Shell commands of start-up go straight to the shell, without the logged wrapper. Their status
// is not looked at: what a command is for shows in the paths it makes, which start-up checks.
void run(const std::string& command) {
    static_cast<void>(Platform::Process::system(command));
}

// Without the link the screen takes its default size, 800 x 480.
void linkDisplayConfiguration(const char* unitConfigurationPath) {
    static_cast<void>(
        Platform::ProcessManager::symlink(unitConfigurationPath, "/tmp/graphics.conf"));
}

std::string host(const char* unitPath) {
    return UnitRoot::hostPath(unitPath);
}

// The host path of a unit path as one word of a shell command.
std::string quotedHost(const char* unitPath) {
    return Utilities::shellQuoted(host(unitPath));
}

struct BringUpRow {
    const char* devicePath;
    const char* startCommand;
};

struct ServiceLink {
    const char* target;
    const char* link;
};

constexpr std::array<ServiceLink, 8> serviceLinks{{
    {"/tmp/services", "/etc/services"},
    {"/tmp/passwd", "/etc/passwd"},
    {"/tmp/shadow", "/etc/shadow"},
    {"/tmp/ftpusers", "/etc/ftpusers"},
    {"/tmp/inetd.conf", "/etc/inetd.conf"},
    {"/tmp/login", "/bin/login"},
    {"/tmp/ftpd", "/usr/sbin/ftpd"},
    {"/tmp/telnetd", "/usr/sbin/telnetd"},
}};

}  // namespace

void StartupSequence::bringUpHardware() {
    setVersionVariables();
    unpackPayloads();
    openTemporaryFiles();
    startEarlyDrivers();
    startScreenAndBacklight();
    waitForDisplayDrivers();
    startLogoOrTestBacklight();
    bringUpBoards();
    startCanDrivers();
}

void StartupSequence::startServices() {
    linkServiceFiles();
    startNetworkServices();
    selectConsole();
}

void StartupSequence::setVersionVariables() {
    std::ostringstream version;
    version << LoaderVersion::major << "." << LoaderVersion::minor << "." << LoaderVersion::build
            << std::endl;
    setenv("APPLICATION_VERSION", version.str().c_str(), 1);
    setenv("DEVICEFAMILY", "M2", 1);
}

void StartupSequence::unpackPayloads() {
    unpackPayload("/tmp/ldrfs.tar.gz", fileSystemPayload_);
    unpackPayload("/tmp/utilities.tar.gz", utilitiesPayload_);
}

void StartupSequence::unpackPayload(const std::string& unitTarget,
                                    std::span<const std::uint8_t> bytes) {
    const std::string target = UnitRoot::hostPath(unitTarget);
    {
        Platform::File output = Platform::File::openForWriting(
            target, Platform::File::Existing::truncated, Platform::File::Links::followed, 0666);
        // A payload that could not be written whole does not unpack whole either: the drivers it
        // carries are then missing, which the bring-up's waits and checks show.
        if (output.isOpen()) {
            static_cast<void>(output.writeAll(bytes.data(), bytes.size()));
        }
    }
    std::ifstream input(target, std::ios::binary);
    if (!input) {
        return;
    }
    input.seekg(0, std::ios::end);
    const std::streamoff size = input.tellg();
    input.seekg(0, std::ios::beg);
    {
        CoreSystem::ArchiveManager archive(input, 0, static_cast<std::uint64_t>(size));
        const std::string destination = UnitRoot::hostPath("/tmp/");
        archive.extract(false, destination.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    // An archive left behind only takes room in "/tmp" until it is written over at the next start.
    static_cast<void>(Utilities::removeFileSynced(target));
}

void StartupSequence::openTemporaryFiles() {
    const std::string folder = host("/tmp/");
    std::vector<std::string> names;
    Utilities::listDirectory(folder, names, "", true);
    for (const std::string& name : names) {
        // "/tmp/." and "/tmp/.." are not the payload's: opening up ".." would make the root
        // folder of the unit writable for everyone.
        if (name == "." || name == "..") {
            continue;
        }
        // The password hashes that login reads stay the owner's alone: a shadow file everyone
        // may write lets anyone set the passwords of the telnet and ftp accounts. An entry whose
        // mode cannot be changed keeps the one the payload gave it, less the umask.
        static_cast<void>(Utilities::changeMode(folder + name, name == "shadow" ? "600" : "777"));
    }
}

bool StartupSequence::startIfMissing(const char* unitDevicePath, const std::string& command) {
    if (Utilities::exists(host(unitDevicePath))) {
        return false;
    }
    run(command);
    return true;
}

void StartupSequence::waitFor(const char* unitPath) {
    run("waitfor " + quotedHost(unitPath));
}

void StartupSequence::startEarlyDrivers() {
    if (startIfMissing("/dev/i2c-rcar", "i2c-rcar -u3 --u6 &")) {
        waitFor("/dev/i2c6");
    }
    startIfMissing("/dev/power-fail", "power-fail");
    waitFor("/dev/power-fail");
    startIfMissing("/dev/random", "random -p");
    startIfMissing("/dev/thermal", "thermal &");
}

std::uint32_t StartupSequence::featureNumber(const char* value) {
    if (value == nullptr) {
        return 0;
    }
    const std::string_view text(value);
    std::uint32_t number = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc() ? number : 0;
}

const char* StartupSequence::graphicsConfiguration(std::uint32_t lcdType) {
    switch (lcdType) {
        case 1:
            return "/tmp/graphics1280x480.conf";
        case 2:
            return "/tmp/graphics1280x768.conf";
        case 3:
            return "/tmp/graphics1920x720.conf";
        default:
            return "/tmp/graphics800x480.conf";
    }
}

const char* StartupSequence::backlightCommand(std::uint32_t backlightType) {
    switch (backlightType) {
        case 1:
            return "backlight-m2 -u 0";
        case 2:
            return "pwm-mx -d clksrc=5 -b 0xe6e36000 -u 0 -p 0xe6060074 -o 22 -e 0 -S";
        default:
            return "pwm-mx -d clksrc=5 -b 0xe6e36000 -u 0 -p 0xe6060074 -o 22 -e 0";
    }
}

void StartupSequence::startScreenAndBacklight() {
    if (!Utilities::exists(host("/dev/screen"))) {
        if (const char* lcd = std::getenv("feature_lcd"); lcd != nullptr) {
            const std::uint32_t lcdType = featureNumber(lcd);
            Platform::SystemLog::writef(logCode, logSeverity, "Bootloader: lcd type = %d",
                                        static_cast<int>(lcdType));
            linkDisplayConfiguration(graphicsConfiguration(lcdType));
        } else if (!Platform::FileSystem::linkStatus(host("/tmp/graphics.conf")).examined()) {
            linkDisplayConfiguration("/tmp/graphics800x480.conf");
        }
        setenv("GRAPHICS_ROOT", host("/tmp").c_str(), 1);
        run("screen &");
    }
    if (!Utilities::exists(host("/dev/pwm0"))) {
        std::uint32_t backlightType = 0;
        if (const char* backlight = std::getenv("feature_backlight"); backlight != nullptr) {
            backlightType = featureNumber(backlight);
            Platform::SystemLog::writef(logCode, logSeverity, "Bootloader: backlight type = %d",
                                        static_cast<int>(backlightType));
        }
        run(backlightCommand(backlightType));
    }
    startIfMissing("/dev/pwm1", "pwm-mx -d clksrc=5 -b 0xe6e33000 -u 1 -p 0xe6060008 -o 24 -e 0");
}

void StartupSequence::waitForDisplayDrivers() {
    waitFor("/dev/thermal");
    waitFor("/dev/pwm0");
    waitFor("/dev/pwm1");
    startIfMissing("/dev/thermalmgr", "thermalmgr");
    waitFor("/dev/backlight1");
    waitFor("/dev/screen");
}

void StartupSequence::startLogoOrTestBacklight() {
    if (argumentCount_ == 2) {
        run("pwmdctl -e -d 100 -p 100 " + quotedHost("/dev/pwm0"));
        run("pwmdctl -e -d 100 -p 100 " + quotedHost("/dev/pwm1"));
        return;
    }
    for (const char* logo : {"/fs/etfs/app/logocust", "/fs/etfs/app/logo"}) {
        if (Utilities::exists(host(logo))) {
            run(quotedHost(logo) + " &");
            return;
        }
    }
}

void StartupSequence::bringUpBoards() {
    startIfMissing("/dev/i2c1", "i2c-rcar_i2c -c1 --u1 &");
    startIfMissing("/dev/i2c4", "i2c-rcar_i2c -c4 --u4 &");
    startIfMissing("/dev/i2c5", "i2c-rcar_i2c -c5 --u5 &");
    waitFor("/dev/i2c1");
    waitFor("/dev/i2c4");
    waitFor("/dev/i2c5");
    startIfMissing("/dev/spi0", "spi-master -u0 -d msiof channel=0");
    waitFor("/dev/spi0");
    startIfMissing("/dev/touch-dura", "touch-dura");
    waitFor("/dev/touch-dura");
    startIfMissing("/dev/io_interface", "io-interface-opt");
    waitFor("/dev/io_interface");
    const std::string sdMount = quotedHost("/mnt/sd");
    startIfMissing("/dev/devb-mmcsd-rcarm2-trevanic-sdhi",
                   "devb-mmcsd-rcarm2-trevanic-sdhi mmcsd channel=0 disk name=sd blk "
                   "cache=4M,automount=sd0t6:" +
                       sdMount + ",automount=sd0t11:" + sdMount + ",automount=sd0t12:" + sdMount);
}

void StartupSequence::startCanDrivers() {
    run("slay -f -Q j1939");
    run("slay -f -Q dev-can-m2");
    run("dev-can-m2 -x -u0 can0");
    waitFor("/dev/can0");
    run("dev-can-m2 -x -u1 can1");
    waitFor("/dev/can1");
}

void StartupSequence::linkServiceFiles() {
    // A link that is missing shows when the service that reads it starts.
    for (const ServiceLink& link : serviceLinks) {
        static_cast<void>(Platform::ProcessManager::symlink(link.target, link.link));
    }
}

void StartupSequence::startNetworkServices() {
    run("io-pkt-v4-hc");
    waitFor("/dev/socket");
    run("devc-pty");
    waitFor("/dev/ptyp0");
    run("qconn");
    run("inetd");
    run("mount -T io-pkt devnp-asix.so");
    run("ifconfig ax0 192.168.0.2 netmask 255.255.255.0");
    run("autoipd -i ax0 -f &");
}

void StartupSequence::selectConsole() {
    const std::string shell = quotedHost("/bin/sh");
    if (Utilities::exists(host("/fs/etfs/DvTest"))) {
        if (Utilities::exists(host("/fs/etfs/ProductionTest"))) {
            run("rm -f " + quotedHost("/fs/etfs/ProductionTest") + " ");
        }
        run("devc-sercan");
        run("on -t " + quotedHost("/dev/sercan1") + " " + shell);
    } else if (Utilities::exists(host("/mnt/stick/DvTest"))) {
        run("cp " + quotedHost("/mnt/stick/DvTest") + " " + quotedHost("/fs/etfs/."));
        run("chmod 777 " + quotedHost("/fs/etfs/DvTest"));
        run("sync");
    } else if (!Utilities::exists(host("/dev/rs4854"))) {
        run("devc-serscif485 -e -F -u4 -b38400 -a 0xE6050008 -p 12 scif4");
        waitFor("/dev/rs4854");
        run("on -t " + quotedHost("/dev/rs4854") + " " + shell);
    }
}

}  // namespace Boot
