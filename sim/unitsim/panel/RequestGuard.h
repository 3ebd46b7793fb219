#pragma once

#include <optional>
#include <string>

namespace Sim::Unitsim {

// Who may use the panel: a program on this machine that addressed the panel itself. Requests
// from another address are refused, and so are requests whose Host names another server (a page
// elsewhere reaching the panel through a name that leads to this machine) and requests that
// change the unit on behalf of a page of another origin.
class RequestGuard {
public:
    explicit RequestGuard(int port) : port_(port) {}

    // The reason to refuse the request, or nothing when it may go ahead. `origin` is empty when
    // the request carried none.
    std::optional<std::string> refusal(const std::string& remoteAddress, const std::string& method,
                                       const std::string& host, const std::string& origin) const;

    static bool isLoopback(const std::string& address);

private:
    bool isPanelHost(const std::string& host) const;

    int port_;
};

}  // namespace Sim::Unitsim
