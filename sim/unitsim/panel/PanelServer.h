#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sim/unitsim/UnitFolder.h"
#include "sim/unitsim/panel/RequestGuard.h"
#include "sim/unitsim/panel/UnitControl.h"
#include "sim/unitsim/panel/UnitView.h"

namespace httplib {  // NOLINT(readability-identifier-naming): the library's own name
class Server;
class Response;
class DataSink;
}  // namespace httplib

namespace Sim::Unitsim {

// The simulated unit's front panel: a page served on 127.0.0.1 with the unit's screen, its keys,
// its stick slot, its power and its logs, and the requests the page makes. Frames and changes of
// the unit reach the page as server-sent events.
class PanelServer {
public:
    // The unit must be named in UNIT_ROOT (UnitFolder::exportAsUnitRoot).
    PanelServer(const UnitFolder& unit, const UnitView::Settings& settings);
    PanelServer(const PanelServer&) = delete;
    PanelServer& operator=(const PanelServer&) = delete;
    PanelServer(PanelServer&&) = delete;
    PanelServer& operator=(PanelServer&&) = delete;
    ~PanelServer();

    // Binds 127.0.0.1:`port`, or a free port for 0, and returns the port; CommandFailure when
    // the port cannot be had.
    int bind(int port);
    // Answers requests until `stop`; false when serving failed.
    bool serve();
    // Ends `serve`, the event streams included; may be called from any thread.
    void stop();

private:
    void addRoutes();
    // Runs a request's action and answers with its message, or with its failure as an error.
    static void act(httplib::Response& response, const std::function<std::string()>& action);
    // Feeds one event stream: waits for `nextEvents` to have something (or for the time to say
    // the stream is alive) and writes it. False once the stream or the server ends.
    bool pump(httplib::DataSink& sink, const std::function<std::string()>& nextEvents,
              int pollMilliseconds) const;

    const UnitFolder& unit_;
    UnitView::Settings settings_;
    UnitControl control_;
    std::optional<RequestGuard> guard_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> serving_{false};
    std::unique_ptr<httplib::Server> server_;
};

}  // namespace Sim::Unitsim
