#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace Boot {

// The loader's start-up before the controller takes over: the version and family variables, the
// payloads unpacked into /tmp, the unit's drivers and services started by shell command, and the
// console. Every step runs on the main thread, in order; no command's result is examined, and a
// driver that does not come up only costs its waitfor's time-out.
class StartupSequence {
public:
    // The payloads are the two archives linked into the loader, back to back.
    StartupSequence(int argumentCount, std::span<const std::uint8_t> fileSystemPayload,
                    std::span<const std::uint8_t> utilitiesPayload)
        : argumentCount_(argumentCount),
          fileSystemPayload_(fileSystemPayload),
          utilitiesPayload_(utilitiesPayload) {}

    // Everything up to the controller's construction.
    void bringUpHardware();
    // Everything after it: service links, network services, test and console selection.
    static void startServices();

    static void setVersionVariables();
    void unpackPayloads();
    static void openTemporaryFiles();
    static void startEarlyDrivers();
    static void startScreenAndBacklight();
    static void waitForDisplayDrivers();
    void startLogoOrTestBacklight();
    static void bringUpBoards();
    static void startCanDrivers();
    static void linkServiceFiles();
    static void startNetworkServices();
    static void selectConsole();

    // Writes the bytes to `unitTarget`, extracts that archive into /tmp/ and removes it.
    static void unpackPayload(const std::string& unitTarget, std::span<const std::uint8_t> bytes);
    // The leading decimal digits of the variable's value; 0 for text that is no number.
    static std::uint32_t featureNumber(const char* value);
    // The display configuration that "/tmp/graphics.conf" links to for a panel type.
    static const char* graphicsConfiguration(std::uint32_t lcdType);
    // The command that starts the channel-0 backlight driver for a backlight type.
    static const char* backlightCommand(std::uint32_t backlightType);

private:
    // Runs the command when the unit path does not exist yet.
    static bool startIfMissing(const char* unitDevicePath, const std::string& command);
    static void waitFor(const char* unitPath);

    int argumentCount_;
    std::span<const std::uint8_t> fileSystemPayload_;
    std::span<const std::uint8_t> utilitiesPayload_;
};

}  // namespace Boot
