// The webhook: each unit POSTed as JSON over HTTP or HTTPS (OpenSSL, the certificate and the
// host name verified) with cpp-httplib. A build whose cpp-httplib has no OpenSSL (Windows)
// posts over plain HTTP only, and refuses an https:// URL before a board is taken.

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "records/delivery.h"
#include "records/webhook_url.h"

namespace quillon::records {
namespace {

// The header names the webhook sets itself: a --upload-header may not replace them.
constexpr const char* kOwnHeaders[] = {"idempotency-key", "content-type", "content-length", "host", "transfer-encoding",
                                       "connection"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// A receiver's own words, short and on one line (a person reads them in a status line).
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text.substr(0, 160)) shown += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  return shown;
}

// Why a POST got no answer, as a person at the station can act on it.
std::string NoAnswer(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection:
      return "no connection (refused, or the host cannot be reached)";
    case httplib::Error::ConnectionTimeout:
      return "no connection within the time limit";
    case httplib::Error::Read:
      return "no answer within the time limit, or the connection was closed before it";
    case httplib::Error::Write:
      return "the connection broke while the unit was sent";
    case httplib::Error::SSLConnection:
      return "the TLS handshake failed (is the URL https:// to a server that speaks it?)";
    default:
      return "no answer (" + httplib::to_string(error) + ")";
  }
}

class Webhook final : public Output {
 public:
  Webhook(WebhookUrl url, const WebhookPlan& plan, httplib::Headers headers)
      : url_(std::move(url)), headers_(std::move(headers)) {
    client_ = std::make_unique<httplib::Client>(url_.scheme + "://" + url_.host_port);
    const auto split = [](std::chrono::milliseconds time) {
      return std::pair<time_t, time_t>{static_cast<time_t>(time.count() / 1000), static_cast<time_t>(time.count() % 1000 * 1000)};
    };
    const auto [seconds, micros] = split(plan.timeout);
    const auto [connect_seconds, connect_micros] = split(std::min(plan.timeout, std::chrono::milliseconds(5000)));
    client_->set_connection_timeout(connect_seconds, connect_micros);
    client_->set_read_timeout(seconds, micros);
    client_->set_write_timeout(seconds, micros);
    client_->set_keep_alive(true);
    // A POST is written in two pieces (head, body): without this each waits for the last ACK.
    client_->set_tcp_nodelay(true);
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    if (url_.scheme == "https") {
      client_->enable_server_certificate_verification(true);
      if (!plan.ca_file.empty()) client_->set_ca_cert_path(plan.ca_file);
    }
#else
    (void)plan.ca_file;
#endif
  }

  std::string Name() const override { return "upload"; }
  std::string Where() const override { return url_.Shown(); }

  SendOutcome Send(const UnitRow&, const std::string& key, const std::string& body) override {
    httplib::Headers headers = headers_;
    headers.emplace("Idempotency-Key", key);
    const auto result = client_->Post(url_.target, headers, body, "application/json");
    if (!result) {
      std::string why = NoAnswer(result.error());
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
      if (result.error() == httplib::Error::SSLServerVerification) {
        why = std::string("its certificate is not trusted (OpenSSL: ") +
              X509_verify_cert_error_string(client_->get_openssl_verify_result()) +
              "): is the factory's own authority named?";
      }
#endif
      return {SendOutcome::Kind::kRetry, why, std::nullopt};
    }
    const int status = result->status;
    if (status >= 200 && status < 300) return {};
    std::string why = "HTTP " + std::to_string(status);
    if (const auto said = Shown(result->body); !said.empty()) why += ": " + said;
    if (status == 408 || status == 429 || status >= 500) {
      return {SendOutcome::Kind::kRetry, why, RetryAfter(result->get_header_value("Retry-After"))};
    }
    return {SendOutcome::Kind::kNeedsPerson, why, std::nullopt};
  }

 private:
  // Retry-After in seconds; an HTTP date or anything else is left to the backoff.
  static std::optional<std::chrono::seconds> RetryAfter(const std::string& value) {
    if (value.empty() || value.size() > 9 || !std::all_of(value.begin(), value.end(), [](unsigned char c) {
          return std::isdigit(c) != 0;
        })) {
      return std::nullopt;
    }
    return std::chrono::seconds(std::stol(value));
  }

  WebhookUrl url_;
  httplib::Headers headers_;
  std::unique_ptr<httplib::Client> client_;
};

}  // namespace

bool WebhookAvailable() { return true; }

std::unique_ptr<Output> MakeWebhook(const WebhookPlan& plan, std::string& warning, std::string& error) {
  const auto url = ReadWebhookUrl(plan.url, warning, error);
  if (!url) return nullptr;
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
  if (url->scheme == "https") {
    error = "this build has no TLS for https:// (the Linux build has it): upload over http:// to an address "
            "inside the factory, or give --drop-folder";
    return nullptr;
  }
#endif
  httplib::Headers headers;
  for (const auto& header : plan.headers) {
    const auto parsed = ReadHeader(header, error);
    if (!parsed) return nullptr;
    const std::string name = Lower(parsed->first);
    if (std::find(std::begin(kOwnHeaders), std::end(kOwnHeaders), name) != std::end(kOwnHeaders)) {
      error = "the header " + parsed->first + " is the upload's own: it cannot be given";
      return nullptr;
    }
    headers.emplace(parsed->first, parsed->second);
  }
  if (!plan.ca_file.empty()) {
    if (url->scheme != "https") {
      error = "an authority file was given for a URL that is not https:// (no certificate is checked)";
      return nullptr;
    }
    std::ifstream ca(plan.ca_file, std::ios::binary);
    std::string text(1 << 20, '\0');
    ca.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, ca.gcount())));
    if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      error = "the authority file " + plan.ca_file +
              " is not a readable PEM file of certificates (none begins with -----BEGIN CERTIFICATE-----)";
      return nullptr;
    }
  }
  return std::make_unique<Webhook>(*url, plan, std::move(headers));
}

}  // namespace quillon::records
