#include "sim/unitsim/panel/UnitView.h"

#include <array>
#include <map>
#include <nlohmann/json.hpp>

#include "CoreSystem/DisplayLayout.h"
#include "sim/unitsim/ReceivedReport.h"
#include "sim/unitsim/StickSlot.h"
#include "sim/unitsim/UnitInput.h"
#include "sim/unitsim/panel/UnitStatus.h"
#include "tools/PackageReader.h"
#include "tools/PackageReport.h"

namespace Sim::Unitsim {

namespace {

using Json = nlohmann::json;

constexpr const char* installedRecord = "/fs/etfs/installed.kx1";
// What each key does on the unit's screens, in key order.
constexpr std::array<const char*, 4> keyRoles = {"back", "select", "up", "down"};

std::string text(const Json& value) {
    // Log and record texts come from files: bytes that are no UTF-8 are shown replaced.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json display(const UnitFolder& unit) {
    Json result = {{"type", nullptr}, {"width", 800}, {"height", 480}, {"keys", Json::array()}};
    std::uint32_t displayType = 0;
    try {
        displayType = unit.configuration().displayType;
    } catch (const std::exception&) {
        return result;
    }
    result["type"] = displayType;
    const std::map<int, CoreSystem::DisplayLayout> layouts = CoreSystem::DisplayLayout::builtIn();
    const auto layout = layouts.find(static_cast<int>(displayType));
    if (layout == layouts.end()) {
        return result;
    }
    result["width"] = layout->second.width;
    result["height"] = layout->second.height;
    for (std::size_t index = 0; index < keyNames.size(); ++index) {
        const CoreSystem::SoftKey& key = layout->second.keys.at(index);
        if (key.keyMask != 0) {
            result["keys"].push_back({{"name", keyNames.at(index)},
                                      {"role", keyRoles.at(index)},
                                      {"x", key.x},
                                      {"y", key.y},
                                      {"size", CoreSystem::DisplayLayout::iconSize}});
        }
    }
    return result;
}

Json stick(const UnitFolder& unit) {
    const StickSlot slot(unit);
    Json files = Json::array();
    for (const StickSlot::File& file : slot.files()) {
        files.push_back({{"name", file.name}, {"size", file.size}});
    }
    return {{"inserted", slot.isInserted()}, {"files", files}};
}

Json record(const UnitFolder& unit) {
    const std::string path = unit.hostPath(installedRecord);
    Packaging::PackageReader reader;
    std::string error;
    if (!reader.open(path, error, Packaging::PackageReader::Expect::installedRecord)) {
        return nullptr;
    }
    return Packaging::PackageReport::text(reader, path);
}

Json status(const UnitFolder& unit) {
    const UnitStatus observed = UnitStatus::observe(unit);
    Json result = {{"state", UnitStatus::stateName(observed.state)},
                   {"outcome", nullptr},
                   {"install", nullptr},
                   {"shutdownRequested", observed.shutdownRequested}};
    if (observed.outcome) {
        result["outcome"] = *observed.outcome;
    }
    if (observed.install.phase != InstallLogSummary::Phase::none) {
        result["install"] = {{"phase", InstallLogSummary::phaseName(observed.install.phase)},
                             {"component", observed.componentName},
                             {"percent", nullptr},
                             {"step", observed.install.lastLine}};
        if (observed.percent) {
            result["install"]["percent"] = *observed.percent;
        }
    }
    return result;
}

}  // namespace

std::string UnitView::json(const UnitFolder& unit, const Settings& settings) {
    Json view = status(unit);
    view["unit"] = unit.root();
    view["display"] = display(unit);
    view["stick"] = stick(unit);
    view["record"] = record(unit);
    view["received"] = receivedReport(unit);
    view["everyFrame"] = unit.captureFolder().has_value();
    view["uploadLimit"] = settings.uploadLimit;
    return text(view);
}

std::string UnitView::message(const std::string& said) {
    return text(Json{{"message", said}});
}

std::string UnitView::error(const std::string& said) {
    return text(Json{{"error", said}});
}

}  // namespace Sim::Unitsim
