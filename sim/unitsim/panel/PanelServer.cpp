#include "sim/unitsim/panel/PanelServer.h"

#include <openssl/evp.h>
#include <sys/socket.h>

#include <httplib.h>
#include <array>
#include <charconv>
#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>

#include "platform/Clock.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/StickSlot.h"
#include "sim/unitsim/UnitInput.h"
#include "sim/unitsim/panel/FrameFeed.h"
#include "sim/unitsim/panel/LogTail.h"

extern "C" const unsigned char panelPageHtml[], panelPageScript[], panelPageStyle[];
extern "C" const unsigned long panelPageHtml_size, panelPageScript_size, panelPageStyle_size;

namespace Sim::Unitsim {

namespace {

// Every page holds two event streams open; each takes a thread while it is open.
constexpr std::size_t threadCount = 32;
constexpr int framePollMilliseconds = 20;
constexpr int unitPollMilliseconds = 100;
// A stream says it is alive this often, so that a closed page is noticed.
constexpr auto aliveInterval = std::chrono::seconds(10);
// Frames sent in one go, so that a long backlog does not hold back newer events.
constexpr std::size_t framesPerWrite = 8;

constexpr int statusBadRequest = 400;
constexpr int statusForbidden = 403;
constexpr int statusNotFound = 404;
constexpr int statusConflict = 409;
constexpr int statusTooLarge = 413;
constexpr int statusFailed = 500;

constexpr const char* jsonType = "application/json";

// An upload above the size limit.
class UploadTooLarge : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string_view embedded(const unsigned char* bytes, unsigned long size) {
    return {reinterpret_cast<const char*>(bytes), size};
}

void reply(httplib::Response& response, int status, const std::string& json) {
    response.status = status;
    response.set_content(json, jsonType);
}

// One server-sent event; `data` holds no line break.
std::string serverEvent(std::string_view name, const std::string& data,
                        const std::string& id = "") {
    std::string event;
    if (!id.empty()) {
        event.append("id: ").append(id).append("\n");
    }
    event.append("event: ").append(name).append("\ndata: ").append(data).append("\n\n");
    return event;
}

std::string base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

std::string logEvent(std::string_view pane, const LogTail::Change& change) {
    const nlohmann::json data = {
        {"pane", pane}, {"restart", change.restart}, {"text", change.text}};
    return serverEvent("log", data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::optional<std::uintmax_t> contentLength(const httplib::Request& request) {
    if (!request.has_header("Content-Length")) {
        return std::nullopt;
    }
    const std::string text = request.get_header_value("Content-Length");
    std::uintmax_t length = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
    return error == std::errc() && end == text.data() + text.size() ? std::optional(length)
                                                                    : std::nullopt;
}

std::string uploadTooLargeMessage(std::uintmax_t limit) {
    return "the file is larger than the panel takes (" + std::to_string(limit) + " bytes)";
}

// What one page's unit stream has sent: the logs as far as they went and the last view.
struct UnitWatch {
    explicit UnitWatch(const UnitFolder& unit)
        : installLog(unit.hostPath(UnitsimPaths::installLog)),
          systemLog(unit.hostPath(UnitsimPaths::systemLog)),
          loaderOutput(unit.hostPath(UnitPaths::loaderOutput)) {}

    LogTail installLog;
    LogTail systemLog;
    LogTail loaderOutput;
    std::string view;
};

}  // namespace

PanelServer::PanelServer(const UnitFolder& unit, const UnitView::Settings& settings)
    : unit_(unit),
      settings_(settings),
      control_(unit),
      server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(threadCount); };
    // The library's default also shares the port with any other server that asks (SO_REUSEPORT):
    // a second panel on the same port must be refused instead.
    server_->set_socket_options([](int socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    addRoutes();
}

PanelServer::~PanelServer() {
    stop();
}

int PanelServer::bind(int port) {
    const int bound = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                                : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) {
        throw CommandFailure("cannot serve on 127.0.0.1:" + std::to_string(port) +
                             " (is the port taken?)");
    }
    guard_.emplace(bound);
    return bound;
}

bool PanelServer::serve() {
    serving_ = true;
    // A stop that came first is kept: the library's stop acts only on a server that listens.
    const bool served = stopping_ || server_->listen_after_bind();
    serving_ = false;
    return served;
}

void PanelServer::stop() {
    stopping_ = true;
    while (serving_ && !server_->is_running()) {
        Platform::sleepMilliseconds(1);
    }
    server_->stop();
}

void PanelServer::act(httplib::Response& response, const std::function<std::string()>& action) {
    try {
        reply(response, 200, UnitView::message(action()));
    } catch (const UsageError& error) {
        reply(response, statusBadRequest, UnitView::error(error.what()));
    } catch (const UploadTooLarge& error) {
        reply(response, statusTooLarge, UnitView::error(error.what()));
        // The rest of the body is not read; the connection cannot carry another request.
        response.set_header("Connection", "close");
    } catch (const CommandFailure& error) {
        reply(response, statusConflict, UnitView::error(error.what()));
    } catch (const std::exception& error) {
        reply(response, statusFailed, UnitView::error(error.what()));
    }
}

bool PanelServer::pump(httplib::DataSink& sink, const std::function<std::string()>& nextEvents,
                       int pollMilliseconds) const {
    const auto began = Platform::monotonicNow();
    while (!stopping_) {
        const std::string events = nextEvents();
        if (!events.empty()) {
            return sink.write(events.data(), events.size());
        }
        if (Platform::monotonicNow() - began >= aliveInterval) {
            constexpr std::string_view alive = ": alive\n\n";
            return sink.write(alive.data(), alive.size());
        }
        Platform::sleepMilliseconds(pollMilliseconds);
    }
    return false;
}

void PanelServer::addRoutes() {
    using httplib::Request;
    using httplib::Response;
    server_->set_pre_routing_handler([this](const Request& request, Response& response) {
        const std::optional<std::string> refusal =
            guard_->refusal(request.remote_addr, request.method, request.get_header_value("Host"),
                            request.get_header_value("Origin"));
        if (!refusal) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        reply(response, statusForbidden, UnitView::error(*refusal));
        response.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
    });
    server_->set_error_handler([](const Request& /*request*/, Response& response) {
        if (response.body.empty()) {
            reply(response, response.status,
                  UnitView::error(response.status == statusNotFound
                                      ? "no such page"
                                      : "the request was refused (HTTP " +
                                            std::to_string(response.status) + ")"));
        }
    });

    const auto page = [this](const char* path, std::string_view content, const char* type) {
        server_->Get(path, [content, type](const Request& /*request*/, Response& response) {
            response.set_content(content.data(), content.size(), type);
            response.set_header("Cache-Control", "no-store");
        });
    };
    page("/", embedded(panelPageHtml, panelPageHtml_size), "text/html; charset=utf-8");
    page("/panel.js", embedded(panelPageScript, panelPageScript_size),
         "text/javascript; charset=utf-8");
    page("/panel.css", embedded(panelPageStyle, panelPageStyle_size), "text/css; charset=utf-8");

    server_->Get("/api/state", [this](const Request& /*request*/, Response& response) {
        reply(response, 200, UnitView::json(unit_, settings_));
    });

    server_->Get("/events/frames", [this](const Request& request, Response& response) {
        auto feed = std::make_shared<FrameFeed>(unit_, request.get_header_value("Last-Event-ID"));
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream", [this, feed](std::size_t /*offset*/, httplib::DataSink& sink) {
                return pump(
                    sink,
                    [&feed] {
                        std::string events;
                        for (const FrameFeed::Frame& frame : feed->next(framesPerWrite)) {
                            events += serverEvent("frame", base64(frame.png), frame.id);
                        }
                        return events;
                    },
                    framePollMilliseconds);
            });
    });

    server_->Get("/events/unit", [this](const Request& /*request*/, Response& response) {
        auto watch = std::make_shared<UnitWatch>(unit_);
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream", [this, watch](std::size_t /*offset*/, httplib::DataSink& sink) {
                return pump(
                    sink,
                    [this, &watch] {
                        std::string events;
                        std::string view = UnitView::json(unit_, settings_);
                        if (view != watch->view) {
                            events += serverEvent("state", view);
                            watch->view = std::move(view);
                        }
                        const std::array<std::pair<std::string_view, LogTail*>, 3> panes = {{
                            {"install", &watch->installLog},
                            {"slog", &watch->systemLog},
                            {"loader", &watch->loaderOutput},
                        }};
                        for (const auto& [pane, tail] : panes) {
                            if (const std::optional<LogTail::Change> change = tail->poll()) {
                                events += logEvent(pane, *change);
                            }
                        }
                        return events;
                    },
                    unitPollMilliseconds);
            });
    });

    server_->Post("/api/boot", [this](const Request& /*request*/, Response& response) {
        act(response, [this] { return control_.boot(); });
    });
    server_->Post("/api/power-off", [this](const Request& /*request*/, Response& response) {
        act(response, [this] { return control_.powerOff(); });
    });
    server_->Post("/api/shutdown-request", [this](const Request& request, Response& response) {
        act(response, [&] {
            return control_.setShutdownRequest(
                isHighShutdownLevel(request.get_param_value("level")));
        });
    });
    server_->Post(R"(/api/keys/([^/]+)/(press|release))",
                  [this](const Request& request, Response& response) {
                      act(response, [&] {
                          const std::string name = request.matches[1];
                          return request.matches[2] == "press" ? control_.pressKey(name)
                                                               : control_.releaseKey(name);
                      });
                  });
    server_->Post("/api/touch", [this](const Request& request, Response& response) {
        act(response, [&] {
            return control_.touch(parseSigned(request.get_param_value("x"), "x"),
                                  parseSigned(request.get_param_value("y"), "y"));
        });
    });

    server_->Post("/api/stick/files", [this](const Request& request, Response& response,
                                             const httplib::ContentReader& reader) {
        act(response, [&] {
            const std::optional<std::uintmax_t> length = contentLength(request);
            if (length && *length > settings_.uploadLimit) {
                throw UploadTooLarge(uploadTooLargeMessage(settings_.uploadLimit));
            }
            StickSlot::Incoming incoming =
                StickSlot(unit_).receive(request.get_param_value("name"));
            bool tooLarge = false;
            std::optional<std::string> failure;
            const bool whole = reader([&](const char* data, std::size_t size) {
                tooLarge = incoming.size() + size > settings_.uploadLimit;
                if (tooLarge) {
                    return false;
                }
                try {
                    incoming.write(std::span(data, size));
                } catch (const CommandFailure& error) {
                    failure = error.what();
                }
                return !failure;
            });
            if (failure) {
                throw CommandFailure(*failure);
            }
            if (tooLarge) {
                throw UploadTooLarge(uploadTooLargeMessage(settings_.uploadLimit));
            }
            if (!whole) {
                throw UsageError("the upload was cut short; nothing was put on the stick");
            }
            const std::uintmax_t size = incoming.size();
            incoming.finish();
            return request.get_param_value("name") + " is on the stick (" + std::to_string(size) +
                   " bytes)";
        });
    });
    server_->Delete("/api/stick", [this](const Request& /*request*/, Response& response) {
        act(response, [this] {
            StickSlot(unit_).remove();
            return std::string("the stick is out");
        });
    });
    server_->Get("/api/stick/install.log", [this](const Request& /*request*/, Response& response) {
        const std::optional<std::string> log =
            readWholeFile(unit_.hostPath(UnitsimPaths::installLog));
        if (!log) {
            reply(response, statusNotFound,
                  UnitView::error("there is no install log on the stick"));
            return;
        }
        response.set_content(*log, "text/plain; charset=utf-8");
        response.set_header("Content-Disposition", "attachment; filename=\"install.log\"");
    });
}

}  // namespace Sim::Unitsim
