#include "sim/unitsim/panel/UnitStatus.h"

#include <charconv>
#include <filesystem>

#include "sim/common/UnitPaths.h"
#include "sim/unitsim/UnitInput.h"
#include "sim/unitsim/panel/PackageProgress.h"
#include "tools/ComponentNames.h"
#include "tools/PackageReader.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

std::optional<fs::file_time_type> modified(const std::string& hostPath) {
    std::error_code error;
    const fs::file_time_type time = fs::last_write_time(hostPath, error);
    return error ? std::nullopt : std::optional(time);
}

// Whether the file was written during the run that started at `runStart`.
bool writtenSince(const std::string& hostPath, fs::file_time_type runStart) {
    const std::optional<fs::file_time_type> time = modified(hostPath);
    return time && *time >= runStart;
}

std::optional<pid_t> loaderProcess(const UnitFolder& unit) {
    const std::optional<std::string> text =
        readWholeFile(unit.hostPath(UnitPaths::unitProcessGroup));
    pid_t process = 0;
    if (!text ||
        std::from_chars(text->data(), text->data() + text->size(), process).ec != std::errc() ||
        process <= 1) {
        return std::nullopt;
    }
    return process;
}

std::optional<int> installPercent(const UnitFolder& unit, const InstallLogSummary& install) {
    const std::optional<pid_t> loader = loaderProcess(unit);
    if (!loader) {
        return std::nullopt;
    }
    const std::optional<PackageProgress::Reading> reading =
        PackageProgress::read(*loader, unit.root());
    Packaging::PackageReader package;
    std::string error;
    if (!reading || !package.open(reading->packagePath, error)) {
        return std::nullopt;
    }
    if (install.phase == InstallLogSummary::Phase::checking) {
        return PackageProgress::checkingPercent(package.entries(), reading->position);
    }
    if (!install.componentType) {
        return std::nullopt;
    }
    return PackageProgress::installingPercent(package.entries(), *install.componentType,
                                              reading->position);
}

}  // namespace

UnitStatus UnitStatus::observe(const UnitFolder& unit) {
    UnitStatus status;
    try {
        status.shutdownRequested = Sim::Unitsim::shutdownRequested(unit);
    } catch (const std::exception&) {
        // A unit without physical memory has no such input to show.
    }
    if (!unit.runningSupervisor()) {
        status.outcome = unit.outcome();
        return status;
    }
    const std::optional<fs::file_time_type> runStart =
        modified(unit.hostPath(UnitPaths::unitProcessGroup));
    if (!runStart) {
        status.state = State::starting;
        return status;
    }
    const std::string installLog = unit.hostPath(UnitsimPaths::installLog);
    if (writtenSince(installLog, *runStart)) {
        status.install = InstallLogSummary::read(readWholeFile(installLog).value_or(""));
    }
    using Phase = InstallLogSummary::Phase;
    const Phase phase = status.install.phase;
    if (status.install.componentType) {
        status.componentName = Packaging::ComponentNames::nameOf(*status.install.componentType);
    }
    if (phase == Phase::checking || phase == Phase::installing) {
        status.state = State::installing;
        status.percent = installPercent(unit, status.install);
    } else if (phase == Phase::succeeded || phase == Phase::failed ||
               fs::exists(unit.hostPath(UnitPaths::resetMarker))) {
        status.state = State::resetting;
    } else if (!writtenSince(unit.hostPath(UnitsimPaths::latestFrame), *runStart)) {
        status.state = State::starting;
    } else {
        // A waiting loader shuts the unit down once it sees the request.
        status.state = status.shutdownRequested ? State::resetting : State::waiting;
    }
    return status;
}

std::string_view UnitStatus::stateName(State state) {
    switch (state) {
        case State::starting:
            return "starting";
        case State::waiting:
            return "waiting";
        case State::installing:
            return "installing";
        case State::resetting:
            return "resetting";
        case State::off:
            break;
    }
    return "off";
}

}  // namespace Sim::Unitsim
