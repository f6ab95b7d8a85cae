#pragma once
// The station's live page: a read-only web server on a thread of its own that shows every
// fixture at a glance. It reads the station's events like any other subscriber and the run
// records only through their fixed queries; no request changes anything.

#include <memory>
#include <string>
#include <vector>

#include "station/events.h"
#include "report/station_view.h"
#include "records/run_records.h"

namespace quillon::page {

using station::EventStream;
using records::HistoryFilter;
using records::RunRecords;
using records::UnitRow;
using report::StationFacts;
using report::StationView;

/// The most event streams served at once.
inline constexpr int kMostViewers = 32;

/// Where the page listens, as the Host rules need it.
struct Listening {
  std::string address;                      ///< as given: an address, "localhost", "0.0.0.0" or "::"
  int port = 0;
  std::string host_name;                    ///< this machine's name
  std::vector<std::string> own_addresses;   ///< this machine's addresses (MachineAddresses)
};

/// Whether a request's Host header names this server: "localhost" or the host's name, or the
/// address it listens on (127.0.0.1 and ::1 when that is "localhost"; any of the machine's own
/// addresses when it listens on all of them), with no port or the listening port. Any other
/// name may be one an attacker's DNS points here (DNS rebinding).
bool HostAllowed(const std::string& host_header, const Listening& listening);

/// "ja" when the browser prefers Japanese to English (Accept-Language), else "en".
std::string PageLanguage(const std::string& accept_language);

/// The page, its script and styles, in `language`.
std::string PageHtml(const std::string& language);

class LivePage {
 public:
  /// `records` may be null (then no units are listed); it must outlive the page.
  LivePage(StationFacts facts, RunRecords* records);
  ~LivePage();
  LivePage(const LivePage&) = delete;
  LivePage& operator=(const LivePage&) = delete;

  /// Reads the station's events from here on (before the first).
  void Subscribe(EventStream& events);
  /// Listens on `address`:`port` (0: any free port) and serves on a thread of its own; false
  /// with `error` when the address cannot be bound.
  bool Start(const std::string& address, int port, std::string& error);
  /// The port it listens on, once started.
  int port() const;
  /// Ends every stream, every connection and the server at once, whatever the clients do
  /// (also on destruction).
  void Stop();
  /// Connections being served now (each counts against the limit of 64).
  int open_connections() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::page
