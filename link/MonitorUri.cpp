#include "link/MonitorUri.h"

#include "base/Text.h"
#include "link/UriText.h"
#include "protocol/Port.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

namespace printer_link {
namespace {

using base::Lower;
using protocol::ParsePort;

bool Fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

// "vid_0418&pid_5011" as the device layer's "0418/5011"; empty when it is not of that form.
std::string VendorProduct(std::string_view vidAndPid) {
    const std::string text = Lower(vidAndPid);
    auto hex4 = [](std::string_view s) {
        return s.size() == 4 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
    };
    if (text.size() != 17 || text.compare(0, 4, "vid_") != 0 || text.compare(8, 5, "&pid_") != 0) return {};
    const std::string_view view(text);
    if (!hex4(view.substr(4, 4)) || !hex4(view.substr(13, 4))) return {};
    return text.substr(4, 4) + "/" + text.substr(13, 4);
}

std::string_view WithoutBrackets(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

bool IsIpv6(std::string_view host) {
    in6_addr address{};
    return ::inet_pton(AF_INET6, std::string(host).c_str(), &address) == 1;
}

// A printer's address as the device layer reads it back: an IPv6 address
// (bracketed in the URI, or percent-encoded as the spooler once wrote it), or
// an IPv4 address or host name of letters, digits, '.', '-' and '_'. Anything
// else is refused: a decoded '/', ':', '@' or '%' would take a new meaning in
// the URI that opens the device (another host, another port).
std::optional<std::string> PrinterAddress(std::string_view text, bool bracketed) {
    const auto decoded = PercentDecoded(text);
    if (!decoded || decoded->empty()) return std::nullopt;
    std::string_view host = *decoded;
    if (!bracketed && WithoutBrackets(host).size() != host.size()) {
        host = WithoutBrackets(host);
        bracketed = true;
    } else if (!bracketed && text.find(':') != std::string_view::npos) {
        return std::nullopt;  // "::1:9100": which colon is the port's?
    }
    if (bracketed || host.find(':') != std::string_view::npos)
        return IsIpv6(host) ? std::optional<std::string>(host) : std::nullopt;
    const bool name = std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
    });
    return name ? std::optional<std::string>(host) : std::nullopt;
}

}  // namespace

MonitorTarget TargetFromPrinterData(std::string_view portName, const PrinterData& data) {
    MonitorTarget target;
    target.portName = std::string(portName);
    if (!target.portName.empty() && target.portName.back() == ':') target.portName.pop_back();
    const bool network = data.portType ? *data.portType == 1 : !data.ip.empty();
    if (!network) {
        target.vidAndPid = data.vidAndPid;
        target.devicePath = data.devicePath;
        return target;
    }
    // "<address> <port>": the address is the first word.
    const std::string_view ip = data.ip;
    const auto start = ip.find_first_not_of(' ');
    const auto space = ip.find(' ', start);
    if (start == std::string_view::npos) {
        target.kind = MonitorTarget::Kind::NetworkWithoutAddress;
        return target;
    }
    target.kind = MonitorTarget::Kind::Network;
    target.host = std::string(ip.substr(start, space == std::string_view::npos ? space : space - start));
    if (space != std::string_view::npos) {
        std::string_view rest = ip.substr(space);
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        target.tcpPort = ParsePort(rest.substr(0, rest.find(' '))).value_or(protocol::kRawTcpPort);
    }
    return target;
}

std::string FormatMonitorUri(std::string_view scheme, const MonitorTarget& target) {
    std::string uri(scheme);
    if (target.kind == MonitorTarget::Kind::Network) {
        const std::string_view host = WithoutBrackets(target.host);
        uri += "://" + (IsIpv6(host) ? "[" + std::string(host) + "]" : PercentEncoded(target.host)) + ":" +
               std::to_string(target.tcpPort);
        if (!target.portName.empty()) uri += "/" + PercentEncoded(target.portName);
        return uri;
    }
    uri += ":/" + PercentEncoded(target.portName);
    std::vector<std::pair<const char*, const std::string*>> query;
    if (target.kind == MonitorTarget::Kind::NetworkWithoutAddress) {
        static const std::string kOne = "1";
        query.emplace_back("PortType", &kOne);
    } else {
        query.emplace_back("VidAndPid", &target.vidAndPid);
        query.emplace_back("DevicePath", &target.devicePath);
        query.emplace_back("serial", &target.serial);
    }
    char separator = '?';
    for (const auto& [name, value] : query) {
        if (value->empty()) continue;
        uri += separator;
        uri += name;
        uri += "=" + PercentEncoded(*value);
        separator = '&';
    }
    return uri;
}

std::optional<MonitorTarget> ParseMonitorUri(std::string_view uri, std::string* error) {
    MonitorTarget target;
    const auto colon = uri.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        Fail(error, "no scheme");
        return std::nullopt;
    }
    std::string_view rest = uri.substr(colon + 1);
    std::string_view query;
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    std::string_view path;
    if (rest.rfind("//", 0) == 0) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        const std::string_view authority = rest.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        // "[IPv6]" holds colons of its own: the port's colon follows the bracket.
        const bool bracketed = !authority.empty() && authority.front() == '[';
        const auto close = bracketed ? authority.find(']') : std::string_view::npos;
        if (bracketed && close == std::string_view::npos) {
            Fail(error, "bad printer address \"" + std::string(authority) + "\"");
            return std::nullopt;
        }
        const std::string_view hostText = bracketed ? authority.substr(1, close - 1)
                                                    : authority.substr(0, authority.rfind(':'));
        std::string_view portText = authority.substr(bracketed ? close + 1 : hostText.size());
        if (hostText.empty()) {
            Fail(error, "no printer address");
            return std::nullopt;
        }
        const auto host = PrinterAddress(hostText, bracketed);
        if (!host) {
            Fail(error, "bad printer address \"" + std::string(hostText) + "\"");
            return std::nullopt;
        }
        target.kind = MonitorTarget::Kind::Network;
        target.host = *host;
        if (!portText.empty()) {
            const auto port = portText.front() == ':' ? ParsePort(portText.substr(1)) : std::nullopt;
            if (!port) {
                Fail(error, "bad port number");
                return std::nullopt;
            }
            target.tcpPort = *port;
        }
    } else {
        if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        path = rest;
    }
    const auto portName = PercentDecoded(path);
    if (!portName) {
        Fail(error, "bad port name");
        return std::nullopt;
    }
    target.portName = *portName;

    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const auto equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        const auto value = PercentDecoded(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1));
        if (!value) {
            Fail(error, "bad value of " + std::string(name));
            return std::nullopt;
        }
        if (target.kind == MonitorTarget::Kind::Network) continue;  // the address says it all
        if (name == "VidAndPid") target.vidAndPid = *value;
        else if (name == "DevicePath") target.devicePath = *value;
        else if (name == "serial") target.serial = *value;
        else if (name == "PortType" && *value == "1") target.kind = MonitorTarget::Kind::NetworkWithoutAddress;
    }
    return target;
}

DeviceChoice DeviceFor(const MonitorTarget& target) {
    DeviceChoice choice;
    if (target.kind == MonitorTarget::Kind::NetworkWithoutAddress) return choice;  // nothing to open
    if (target.kind == MonitorTarget::Kind::Network) {
        // (A parsed host holds no delimiter; an IPv6 address gets its brackets.)
        const std::string_view host = WithoutBrackets(target.host);
        choice.uri = "socket://" + (host.find(':') != std::string_view::npos ? "[" + std::string(host) + "]"
                                                                              : std::string(host)) +
                     ":" + std::to_string(target.tcpPort);
        return choice;
    }
    choice.uri = "usb:";
    if (!target.devicePath.empty()) {
        choice.productIds.push_back(Lower(target.devicePath));
    } else if (!target.vidAndPid.empty()) {
        choice.productIds.push_back(Lower(target.vidAndPid));
        if (const std::string vp = VendorProduct(target.vidAndPid); !vp.empty() && !target.serial.empty())
            choice.uri = "usb://" + vp + "?serial=" + PercentEncoded(target.serial);
    }
    return choice;
}

}  // namespace printer_link
