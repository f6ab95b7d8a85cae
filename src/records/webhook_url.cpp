#include "records/webhook_url.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace quillon::records {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Four decimal numbers 0-255 joined by dots.
std::optional<std::array<int, 4>> Ipv4(const std::string& host) {
  std::array<int, 4> parts{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t digits = 0;
    int value = 0;
    while (at < host.size() && std::isdigit(static_cast<unsigned char>(host[at])) != 0 && digits < 3) {
      value = value * 10 + (host[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    parts[static_cast<std::size_t>(i)] = value;
    if (i < 3 && (at >= host.size() || host[at++] != '.')) return std::nullopt;
  }
  if (at != host.size()) return std::nullopt;
  return parts;
}

}  // namespace

bool PrivateHost(const std::string& given) {
  const std::string host = Lower(given);
  if (const auto ip = Ipv4(host)) {
    const auto [a, b, c, d] = *ip;
    (void)c, (void)d;
    return a == 127 || a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) || (a == 169 && b == 254);
  }
  if (host.find(':') != std::string::npos) {
    // IPv6: loopback, unique local (fc00::/7), link-local (fe80::/10).
    if (host == "::1") return true;
    if (host.size() < 4 || host.find("::") < 4) return false;
    return host[0] == 'f' && (host[1] == 'c' || host[1] == 'd' || (host[1] == 'e' && std::string("89ab").find(host[2]) != std::string::npos));
  }
  if (host.empty()) return false;
  if (host == "localhost" || EndsWith(host, ".localhost") || host.find('.') == std::string::npos) return true;
  for (const char* suffix : {".local", ".lan", ".internal", ".intranet", ".home.arpa"}) {
    if (EndsWith(host, suffix)) return true;
  }
  return false;
}

std::string WebhookUrl::Shown() const {
  const std::string path = target.substr(0, target.find('?'));
  return scheme + "://" + host_port + path;
}

std::optional<WebhookUrl> ReadWebhookUrl(const std::string& text, std::string& warning, std::string& error) {
  warning.clear();
  WebhookUrl url;
  const auto colon = text.find("://");
  url.scheme = Lower(text.substr(0, colon == std::string::npos ? 0 : colon));
  if (colon == std::string::npos || (url.scheme != "http" && url.scheme != "https")) {
    error = "it is not an http:// or https:// URL";
    return std::nullopt;
  }
  if (std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; })) {
    error = "a URL holds no space or control character (write a space as %20)";
    return std::nullopt;
  }
  const std::string rest = text.substr(colon + 3);
  const auto slash = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, slash);
  url.target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (url.target.front() == '?') url.target.insert(0, "/");
  url.target = url.target.substr(0, url.target.find('#'));
  if (authority.find('@') != std::string::npos) {
    error = "a user name or password in the URL would be shown wherever the URL is: give it as a header instead "
            "(Authorization: ...)";
    return std::nullopt;
  }
  std::string port;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string::npos) {
      error = "its IPv6 address has no closing ]";
      return std::nullopt;
    }
    url.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') {
        error = "after the IPv6 address only :port may follow";
        return std::nullopt;
      }
      port = authority.substr(close + 2);
    }
  } else {
    const auto at = authority.rfind(':');
    url.host = authority.substr(0, at);
    if (at != std::string::npos) port = authority.substr(at + 1);
  }
  if (url.host.empty()) {
    error = "it names no host";
    return std::nullopt;
  }
  if (port.empty()) port = url.scheme == "https" ? "443" : "80";
  if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; }) ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    error = "its port " + port + " is not a number from 1 to 65535";
    return std::nullopt;
  }
  url.host_port = (url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host) + ":" + port;
  if (url.scheme == "http") {
    if (!PrivateHost(url.host)) {
      error = "plain http:// goes only to a private address (this one, " + url.host +
              ", is not): use https://, so that nobody on the way reads or changes the units";
      return std::nullopt;
    }
    warning = "plain http:// to " + url.host + ": the units are sent unencrypted (https:// keeps them private)";
  }
  return url;
}

std::optional<std::pair<std::string, std::string>> ReadHeader(const std::string& header, std::string& error) {
  const auto colon = header.find(':');
  const std::string name = header.substr(0, colon);
  // A token (RFC 9110): letters, digits and !#$%&'*+-.^_`|~.
  const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  });
  if (colon == std::string::npos || !token) {
    error = "a header is written \"Name: value\" (the name of letters, digits and -)";
    return std::nullopt;
  }
  std::string value = header.substr(colon + 1);
  if (std::any_of(value.begin(), value.end(), [](unsigned char c) { return c == '\r' || c == '\n' || c == 0; })) {
    error = "the header " + name + " holds a line break";
    return std::nullopt;
  }
  const auto first = value.find_first_not_of(" \t");
  value = first == std::string::npos ? std::string() : value.substr(first, value.find_last_not_of(" \t") - first + 1);
  return std::pair{name, value};
}

}  // namespace quillon::records
