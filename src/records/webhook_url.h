#pragma once
// A webhook's URL and headers as the station is given them: read once, before any unit begins,
// so a typing mistake is said at the start and never discovered by the first unit's delivery.

#include <optional>
#include <string>
#include <utility>

namespace quillon::records {

struct WebhookUrl {
  std::string scheme;     ///< "http" or "https"
  std::string host;       ///< as written; an IPv6 address without its brackets
  std::string host_port;  ///< host (bracketed when IPv6) and port, as the client is given it
  std::string target;     ///< the path and the query, "/" when there is none
  /// scheme://host:port/path, without the query (it may hold a token).
  std::string Shown() const;
};

/// The URL, or nothing with `error`. Plain HTTP is taken only to a private address (loopback,
/// 10/8, 172.16/12, 192.168/16, 169.254/16, fc00::/7, fe80::/10, a name without a dot, or a
/// name under .local, .lan, .internal, .intranet or .home.arpa), with `warning` set: what it
/// sends can be read and changed on the way. A name is never looked up for this.
std::optional<WebhookUrl> ReadWebhookUrl(const std::string& url, std::string& warning, std::string& error);

/// Whether `host` (a name, an IPv4 address or an IPv6 one without brackets) is private as
/// ReadWebhookUrl takes it.
bool PrivateHost(const std::string& host);

/// "Name: value" as a header's name and value, or nothing with `error` (no colon, a name that
/// is not an HTTP token, a line break anywhere). The value is never put into `error`.
std::optional<std::pair<std::string, std::string>> ReadHeader(const std::string& header, std::string& error);

}  // namespace quillon::records
