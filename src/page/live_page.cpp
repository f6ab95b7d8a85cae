#include "page/live_page.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <thread>

#include <httplib.h>

#include "base/system.h"
#include "report/event_json.h"
#include "page/gate.h"
#include "page/net.h"
#include "page/viewers.h"

namespace quillon::page {

using namespace report;
using station::Event;
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// A Host header split into host and port; false when it is not one (a port that is not a
// number, an IPv6 address without its brackets).
bool SplitHost(const std::string& header, std::string& host, std::optional<std::string>& port) {
  std::string rest;
  if (!header.empty() && header.front() == '[') {
    const auto end = header.find(']');
    if (end == std::string::npos) return false;
    host = header.substr(1, end - 1);
    rest = header.substr(end + 1);
  } else {
    const auto colon = header.find(':');
    host = header.substr(0, colon);
    rest = colon == std::string::npos ? "" : header.substr(colon);
    if (rest.find(':', 1) != std::string::npos) return false;
  }
  if (rest.empty()) return !host.empty();
  if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6 ||
      rest.find_first_not_of("0123456789", 1) != std::string::npos) {
    return false;
  }
  port = rest.substr(1);
  return !host.empty();
}

// An idle stream gets a comment line this often: it keeps proxies from closing it, and a write
// that fails is how a viewer that went away is noticed (its place freed within two of them).
constexpr auto kKeepAlive = std::chrono::seconds(2);
// Lines that come within this time go to a viewer together: a page shows progress as often as
// every live view does, and each viewer wakes and writes at most that often.
constexpr auto kGather = report::kLiveEvery;

}  // namespace

bool HostAllowed(const std::string& host_header, const Listening& listening) {
  std::string host;
  std::optional<std::string> port;
  if (!SplitHost(host_header, host, port)) return false;
  if (port && std::stoi(*port) != listening.port) return false;
  host = Lower(host);
  if (host == "localhost" || (!listening.host_name.empty() && host == Lower(listening.host_name))) return true;
  const auto address = net::CanonicalAddress(host);
  if (!address) return false;
  const std::string where = Lower(listening.address);
  if (where == "0.0.0.0" || where == "::") {
    return std::any_of(listening.own_addresses.begin(), listening.own_addresses.end(),
                       [&](const std::string& own) { return net::CanonicalAddress(own) == address; });
  }
  if (where == "localhost") return *address == "127.0.0.1" || *address == "::1";
  return net::CanonicalAddress(where) == address;
}

std::string PageLanguage(const std::string& accept_language) {
  // The weight of the best-liked tag of each language; the first listed wins a tie.
  double japanese = -1, english = -1;
  int japanese_at = 0, english_at = 0, at = 0;
  std::size_t start = 0;
  while (start <= accept_language.size()) {
    std::size_t end = accept_language.find(',', start);
    if (end == std::string::npos) end = accept_language.size();
    std::string item = Lower(accept_language.substr(start, end - start));
    start = end + 1;
    double weight = 1;
    if (const auto q = item.find(";q="); q != std::string::npos) {
      weight = std::strtod(item.c_str() + q + 3, nullptr);
      item.erase(q);
    }
    item.erase(std::remove(item.begin(), item.end(), ' '), item.end());
    ++at;
    const std::string primary = item.substr(0, item.find('-'));
    if (primary == "ja" && weight > japanese) japanese = weight, japanese_at = at;
    if ((primary == "en" || primary == "*") && weight > english) english = weight, english_at = at;
  }
  const bool prefers_japanese =
      japanese > 0 && (japanese > english || (japanese == english && japanese_at < english_at));
  return prefers_japanese ? "ja" : "en";
}

struct LivePage::Impl {
  Impl(StationFacts page_facts, RunRecords* run_records)
      : state(std::move(page_facts), StationView::Clock::now()), records(run_records) {}

  StationView state;
  RunRecords* records;
  Viewers viewers{kMostViewers, 256 * 1024, kGather};
  EventJson json;
  httplib::Server server;  // on 127.0.0.1 behind the gate
  Gate gate;
  std::thread thread;
  Listening listening;

  enum class UnitsAsked { kLatest, kSinceId, kAfterSeq };
  nlohmann::ordered_json Units(UnitsAsked asked, std::int64_t from = 0) {
    nlohmann::ordered_json units = nlohmann::ordered_json::array();
    if (records == nullptr) return units;
    std::string error;
    std::vector<records::UnitRow> rows;
    switch (asked) {
      case UnitsAsked::kLatest: {
        HistoryFilter filter;
        filter.limit = 20;
        rows = records->History(filter, error);
        break;
      }
      case UnitsAsked::kSinceId:
        rows = records->After(from, 200, error);
        break;
      case UnitsAsked::kAfterSeq:
        rows = records->Finished(from, 200, error);
        break;
    }
    for (const auto& row : rows) units.push_back(UnitJson(row));
    return units;
  }

  void Routes() {
    Limits();
    CheckEveryRequest();
    ServePages();
    ServeApi();
    ServeEvents();
  }

  void Limits() {
    server.new_task_queue = [] {
      // The library owns and deletes its task queue: every stream holds a thread, and there
      // are threads left for the page, the state, and a refusal for one stream too many.
      return new httplib::ThreadPool(kMostViewers + 8);
    };
    server.set_keep_alive_timeout(5);
    // One request per connection: the gate times each request's head, and a kept-alive
    // connection's second head would go untimed.
    server.set_keep_alive_max_count(1);
  }

  // Before any route: one Host that names this station, read-only methods, nothing cached.
  void CheckEveryRequest() {
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
      if (request.get_header_value_count("Host") > 1) {
        response.status = 400;
        response.set_content("One Host header, please.\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (!HostAllowed(request.get_header_value("Host"), listening)) {
        response.status = 421;
        response.set_content("This station answers only to its own address, localhost or its host name.\n",
                             "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }
      if (request.method != "GET" && request.method != "HEAD") {
        response.status = 405;
        response.set_header("Allow", kAllowedMethods);
        response.set_content("The station's page is read-only.\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
      }
      response.set_header("Cache-Control", "no-store");
      response.set_header("X-Content-Type-Options", "nosniff");
      return httplib::Server::HandlerResponse::Unhandled;
    });
  }

  void ServePages() {
    server.Get("/", [](const httplib::Request& request, httplib::Response& response) {
      response.set_header("Vary", "Accept-Language");
      response.set_header("Content-Security-Policy",
                          "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                          "connect-src 'self'; img-src data:");
      response.set_content(PageHtml(PageLanguage(request.get_header_value("Accept-Language"))),
                           "text/html; charset=utf-8");
    });
    server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("ok", "text/plain");
    });
  }

  void ServeApi() {
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& response) {
      auto whole = state.Json(StationView::Clock::now());
      whole["units"] = Units(UnitsAsked::kLatest);
      response.set_content(JsonText(whole), "application/json");
    });
    server.Get("/api/units", [this](const httplib::Request& request, httplib::Response& response) {
      // since=ID: the rows after that unit id, finished or not; after=SEQ: the units that ended
      // after that completion number, in the order they ended.
      const bool after = request.has_param("after");
      const std::string from = request.get_param_value(after ? "after" : "since");
      const bool number = !from.empty() && from.size() <= 18 &&
                          std::all_of(from.begin(), from.end(), [](unsigned char c) { return std::isdigit(c); });
      if (!number || (after && request.has_param("since"))) {
        response.status = 400;
        response.set_content("give since=ID (a unit id, 0 or more) or after=SEQ (a completion number, 0 or more)\n",
                             "text/plain");
        return;
      }
      response.set_content(JsonText(Units(after ? UnitsAsked::kAfterSeq : UnitsAsked::kSinceId, std::stoll(from))),
                           "application/json");
    });
  }

  // The station's events as they come, batched, to at most kMostViewers pages at once.
  void ServeEvents() {
    server.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
      auto viewer = viewers.Join();
      if (!viewer) {
        response.status = 503;
        response.set_header("Retry-After", "10");
        response.set_content("Too many viewers: at most 32 pages follow the station at once.\n", "text/plain");
        return;
      }
      response.set_header("X-Accel-Buffering", "no");
      response.set_chunked_content_provider(
          "text/event-stream",
          [this, viewer, first = true](std::size_t, httplib::DataSink& sink) mutable {
            if (first) {
              first = false;
              const std::string hello = "retry: 2000\n\n";
              return sink.write(hello.data(), hello.size());
            }
            const auto batch = viewers.Next(*viewer, kKeepAlive);
            std::string text;
            for (const auto& line : batch.lines) text += "data: " + line + "\n\n";
            if (batch.dropped) text += "event: resync\ndata: {}\n\n";
            if (text.empty() && !batch.closed) text = ": keep-alive\n\n";
            // The station's last events still go out when it ends.
            if (!text.empty() && !sink.write(text.data(), text.size())) return false;
            if (batch.closed) sink.done();
            return true;
          },
          [this, viewer](bool) { viewers.Leave(viewer); });
    });
  }
};

LivePage::LivePage(StationFacts facts, RunRecords* records) : impl_(std::make_unique<Impl>(std::move(facts), records)) {
  impl_->Routes();
}

LivePage::~LivePage() { Stop(); }

void LivePage::Subscribe(EventStream& events) {
  events.Subscribe([impl = impl_.get()](const Event& event) {
    const auto changed = impl->state.OnEvent(event);
    if (auto object = impl->json.Object(event)) impl->viewers.Publish(JsonText(*object));
    // The tile as the page draws it, after the event that changed it.
    if (changed) impl->viewers.Publish(JsonText(impl->state.TileJson(*changed, StationView::Clock::now())));
  });
}

bool LivePage::Start(const std::string& address, int port, std::string& error) {
  Impl& impl = *impl_;
  const int inner = impl.server.bind_to_any_port("127.0.0.1");
  if (inner <= 0) {
    error = "cannot listen on this machine's loopback address";
    return false;
  }
  if (!impl.gate.Start(address, port, inner, error)) return false;
  impl.listening = {address, impl.gate.port(), HostName(), MachineAddresses()};
  impl.thread = std::thread([&impl] { impl.server.listen_after_bind(); });
  // A stop before the server runs would be missed by it: Stop() needs a running server.
  for (int i = 0; i < 500 && !impl.server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return true;
}

int LivePage::port() const { return impl_->listening.port; }

int LivePage::open_connections() const { return impl_->gate.open_connections(); }

void LivePage::Stop() {
  if (!impl_ || !impl_->thread.joinable()) return;
  impl_->viewers.Close();
  // The streams' last events (the summary among them) go out if their viewers read them within
  // a moment; then every connection ends, whatever its client does.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until && impl_->gate.open_connections() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  impl_->gate.Stop();
  impl_->server.stop();
  impl_->thread.join();
}

}  // namespace quillon::page
