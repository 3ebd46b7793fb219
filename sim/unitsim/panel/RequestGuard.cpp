#include "sim/unitsim/panel/RequestGuard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace Sim::Unitsim {

namespace {

constexpr std::array<std::string_view, 3> panelHostNames = {"127.0.0.1", "localhost", "[::1]"};
constexpr std::string_view mappedPrefix = "::ffff:";
constexpr std::string_view httpScheme = "http://";

}  // namespace

bool RequestGuard::isLoopback(const std::string& address) {
    const std::string_view text = address;
    const std::string ipv4 =
        std::string(text.starts_with(mappedPrefix) ? text.substr(mappedPrefix.size()) : text);
    in_addr version4{};
    if (::inet_pton(AF_INET, ipv4.c_str(), &version4) == 1) {
        // 127.0.0.0/8
        return (ntohl(version4.s_addr) >> 24U) == 127U;
    }
    in6_addr version6{};
    return ::inet_pton(AF_INET6, address.c_str(), &version6) == 1 &&
           IN6_IS_ADDR_LOOPBACK(&version6);
}

bool RequestGuard::isPanelHost(const std::string& host) const {
    const std::string port = ":" + std::to_string(port_);
    return std::ranges::any_of(
        panelHostNames, [&](std::string_view name) { return host == std::string(name) + port; });
}

std::optional<std::string> RequestGuard::refusal(const std::string& remoteAddress,
                                                 const std::string& method, const std::string& host,
                                                 const std::string& origin) const {
    if (!isLoopback(remoteAddress)) {
        return "the panel answers only programs on this machine (loopback), not " + remoteAddress;
    }
    if (!isPanelHost(host)) {
        return "the panel answers only requests addressed to 127.0.0.1:" + std::to_string(port_) +
               " or localhost:" + std::to_string(port_) + ", not to '" + host + "'";
    }
    const bool changesUnit = method != "GET" && method != "HEAD";
    if (changesUnit && !origin.empty() &&
        !isPanelHost(origin.starts_with(httpScheme) ? origin.substr(httpScheme.size())
                                                    : std::string())) {
        return "the panel takes changes only from its own page, not from '" + origin + "'";
    }
    return std::nullopt;
}

}  // namespace Sim::Unitsim
