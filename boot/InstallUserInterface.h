#pragma once

#include <string>

namespace Boot {

// What the install sequence and the installers need from the screen: progress, and the password
// of a protected package. The UI manager implements it; tests hand in their own.
class InstallUserInterface {
public:
    InstallUserInterface() = default;
    InstallUserInterface(const InstallUserInterface&) = delete;
    InstallUserInterface& operator=(const InstallUserInterface&) = delete;
    InstallUserInterface(InstallUserInterface&&) = delete;
    InstallUserInterface& operator=(InstallUserInterface&&) = delete;
    virtual ~InstallUserInterface() = default;

    virtual void reportProgress(int percent, const std::string& text) = 0;
    // Asks the user for the package password; returns the digits typed.
    virtual std::string requestPassword() = 0;
};

}  // namespace Boot
