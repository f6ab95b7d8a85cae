#pragma once
// What the ports of a run do, as one typed stream of events that any number of subscribers
// read: the command line's printers today, the station's page later. Facts only: which port,
// which message, how far; the words a person reads are the subscribers' business.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/child_process.h"
#include "base/messages.h"
#include "base/seams.h"
#include "serial/port_checks.h"
#include "update/update_sequence.h"

namespace quillon::station {

/// A station port's units: how many passed, failed and were interrupted.
struct PortCounts {
  std::string port;
  int passed = 0, failed = 0, interrupted = 0;
};

/// How one port's run ended.
struct PortResult {
  std::string port;          ///< the port as the run names it
  int id = 0;                ///< the run's closing message; 0 when it was interrupted
  std::string port_label;    ///< how message 504 names the port (MessageTextNaming)
  bool interrupted = false;
  double seconds = 0;
  long long bytes = 0;       ///< bytes sent to the device
  std::string log;           ///< absolute path of the log holding this port's records
  StopPoint stop;
  long long unit = 0;                        ///< a station's unit: its record id (0: none)
  std::optional<std::string> serial_number;  ///< a station's unit: the number stamped into it
  /// A station's unit: the values it got from pools (pool, value), each stamped into it.
  std::vector<std::pair<std::string, std::string>> values;
  bool ok() const { return !interrupted && id == kMsgUpdateFinished; }
};

using quillon::PhaseName;

/// A message box of the run; no port for one shown before the ports run (202, a file's failure).
struct MessageEvent {
  std::optional<std::string> port;
  int id = 0;
  std::string port_label;  ///< how message 504 names the port (MessageTextNaming)
};

/// Something the person should know that is no failure of the update.
struct WarningEvent {
  enum class Kind {
    kLogUnwritten,     ///< `path` is the log, `record` the record it did not take
    kTraceUnwritable,  ///< `path` is the trace: this port runs untraced
    kRowWaiting,       ///< `path` is the run records, `record` why the unit's row is not written yet:
                       ///< the fixture takes no board until it is
    kResultCommandFailed,  ///< `path` is --on-result's command, `command` how it failed for `unit`
    kScanPassedBefore,     ///< `record` is a scanned code unit `unit` already passed with: refused
    kScanWrongPattern,     ///< `record` is a scanned code that `path` (--scan-pattern) refuses
    kScannerGone,          ///< `path` is the scanner: it cannot be read any more
  };
  std::string port;
  Kind kind = Kind::kLogUnwritten;
  std::string path;
  std::string record;
  long long unit = 0;
  ChildOutcome command = {};
  std::chrono::milliseconds limit{0};  ///< the command's time limit
};

/// A transfer begins, with its number of chunks (the progress window's text is message 203
/// for the boot program, 204 for the update).
struct PhaseEvent {
  std::string port;
  Transfer transfer = Transfer::kUpdate;
  int total = 0;
};

/// One more chunk went out (one event per chunk: each reader decides how often it shows).
/// `bytes` went out on the line since the phase began, `seconds` ago on the port's own clock.
struct ProgressEvent {
  std::string port;
  int done = 0;
  int total = 0;
  long long bytes = 0;
  double seconds = 0;
};

/// A transfer ended, finished or not; the same facts as the last progress.
struct PhaseEndEvent {
  std::string port;
  int done = 0;
  int total = 0;
  long long bytes = 0;
  double seconds = 0;
};

/// A station's port begins waiting for a board; `missing` while its device cannot be opened
/// (a fixture's adapter unplugged), published again without it once it opens.
struct WaitingEvent {
  std::string port;
  bool missing = false;
  /// No unit may begin: the station's leased serial numbers are used up and the record server
  /// that gives more is away. Nothing is sent to the board until it is back.
  bool record_server = false;
  /// A board answered: the fixture waits for its label to be scanned before its unit begins.
  bool scan = false;
};

/// The station's link to the fleet's record server, published when it changes: connected, or
/// away since when and why; the rows its outbox still holds; the numbers left in its leases.
struct RecordServerEvent {
  bool connected = false;
  std::optional<std::string> offline_since_utc;
  std::string error;
  int rows_waiting = 0;
  std::optional<std::string> oldest_utc;
  std::optional<std::uint64_t> numbers_left;
  std::string server;  ///< where it is, without a password
  bool ended = false;  ///< the station's last word about it: the rows still waiting stay for its next start
};

/// An output to the factory's systems (a webhook, a drop folder), published when its state
/// changes: delivering, or failing since its last try and why; the units waiting for it and
/// since when the oldest waits; the units it refused in a way that needs a person.
struct OutputEvent {
  std::string output;  ///< "upload" or "drop-folder"
  std::string where;   ///< its URL (without query) or folder
  bool failing = false;
  std::string error;
  int waiting = 0;
  std::optional<std::string> oldest_utc;
  int stopped = 0;     ///< units that wait for a person (history --redeliver sends them again)
  bool ended = false;  ///< the station's last word about it: the units still waiting stay for its next start
};

/// A board answered on a station's port: unit `unit` begins on it.
struct BoardEvent {
  std::string port;
  long long unit = 0;
  std::optional<std::string> serial_number;
};

struct ResultEvent {
  PortResult result;
};

/// The station stopped taking boards; the units under way end as they end.
struct HaltEvent {
  enum class Reason {
    kSerialDoesNotFit,  ///< `detail`: the counter whose next number the stamp cannot hold
    kStampFailed,       ///< `detail`: the serial number that could not be stamped
    kRecordUnwritable,  ///< `detail`: why a unit's row could not be written
    kRecordsMoved,      ///< `detail`: how the records' file was deleted or replaced
    kPoolEmpty,         ///< `detail`: the pool that has no free value left
    kValueDoesNotFit,   ///< `detail`: the pool and its next value, which its stamp cannot hold
  };
  Reason reason = Reason::kRecordUnwritable;
  std::string detail;
  /// Whether the reason is that the run records cannot be kept.
  bool records() const { return reason == Reason::kRecordUnwritable || reason == Reason::kRecordsMoved; }
};

/// Something a run tells a person besides its ports' message boxes and warnings: that it was
/// stopped or called off, that nothing was sent, that a record could not be kept, why a station
/// stopped taking boards. Facts only; the readers have the words.
struct NoticeEvent {
  enum class Kind {
    kInterruptedBeforeSending,  ///< a stop came before anything was sent
    kInterrupted,               ///< a stop ended the ports: each port's log has INTERRUPTED
    kStationInterrupted,        ///< a stop ended a station: the unit under way has INTERRUPTED
    kCancelled,                 ///< no at the boot-mode question (`end_of_input`: its input ended)
    kNothingSent,               ///< `port` cannot be used (`findings`): nothing was sent to any port
    kPortUnusable,              ///< the run's one port cannot be used (`findings`): message 504,
                                ///< naming it as `detail`, and why; nothing was sent
    kRowNotBegun,               ///< `port`'s run record could not be written (`detail`: why)
    kRowNotCompleted,           ///< `port`'s run record could not be completed (`detail`: why)
    kRowsUnwritten,             ///< `count` units' rows could not be completed in `path`
    kStationHalted,             ///< the station stopped taking boards (`halt`)
    kStationReady,              ///< a station of `count` ports, its records in `path`, takes boards
    kRecordsUnusable,           ///< the run records at `path` cannot be used (`detail`: why)
    kPageServed,                ///< the live page is at `path` (an address and port); `exposed`: not
                                ///< only on this machine
  };
  enum class Level { kInfo, kWarning, kError };
  Kind kind = Kind::kInterrupted;
  std::optional<std::string> port = {};
  std::string path = {};
  std::string detail = {};
  int count = 0;
  bool end_of_input = false;
  bool exposed = false;
  std::vector<PortFinding> findings = {};
  std::optional<HaltEvent> halt = {};
  /// kStationReady: what the station will do.
  struct Plan {
    std::string update, image_sha256, boot, operator_name, counter;
    bool pinned = false;                       ///< --expect-sha256 holds the update to that image
    std::optional<std::uint64_t> next_serial;  ///< the next number it gives (stamping, no fleet)
    std::optional<int> lease;                  ///< with a fleet: numbers come in leases of this many
    /// The pools each unit draws a value from: name, free values, where and how it is stamped.
    struct Pool {
      std::string name, stamp;
      std::optional<std::int64_t> free;  ///< nothing: the values come in leases from the record server
      bool reuse_on_fail = false;
    };
    std::vector<Pool> pools;
  };
  std::optional<Plan> plan = {};

  /// Whether a person reads it with the run's output (standard output) rather than with its
  /// errors and remarks (standard error).
  bool with_output() const { return kind == Kind::kStationReady; }
  Level level() const {
    if (kind == Kind::kStationReady || kind == Kind::kPageServed) return Level::kInfo;
    return kind == Kind::kRowNotBegun || kind == Kind::kRowNotCompleted ? Level::kWarning : Level::kError;
  }
};

/// What Enter at the boot-mode question will start: the ports (and the devices behind them), the
/// update file and the bit rate; `again` when an answer that was neither yes nor no asks anew.
struct QuestionEvent {
  struct Port {
    std::string name;
    std::string device;
    bool from_settings = false;  ///< the settings' COM, not a --port
  };
  std::vector<Port> ports = {};
  std::string update = {};
  long long bytes = 0;
  std::string image_sha256 = {};
  std::string boot = {};  ///< the boot file the update sends first
  int baud = 0;
  bool again = false;
};

/// The last word of a run: every port's result and the exit status.
struct SummaryEvent {
  std::vector<PortResult> results;
  int exit_status = 0;
};

/// The last word of a station: the units' counts, per port and in all, and the exit status.
struct StationSummaryEvent {
  std::vector<PortCounts> ports;
  int passed = 0, failed = 0, interrupted = 0;
  int exit_status = 0;
};

using Event = std::variant<MessageEvent, WarningEvent, PhaseEvent, ProgressEvent, PhaseEndEvent, ResultEvent, SummaryEvent,
                           WaitingEvent, BoardEvent, StationSummaryEvent, HaltEvent, NoticeEvent, QuestionEvent,
                           RecordServerEvent, OutputEvent>;

/// The handlers of a visitor, one per event type: VisitEvent refuses a visitor that lacks one
/// or takes any type (`auto`), so a new event type fails to compile until every reader has
/// decided what it shows of it.
template <typename... Handler>
struct Handlers : Handler... {
  using Handler::operator()...;
};
template <typename... Handler>
Handlers(Handler...) -> Handlers<Handler...>;

namespace detail {
struct NoEvent {};
}  // namespace detail

template <typename Visitor>
decltype(auto) VisitEvent(const Event& event, Visitor&& visitor) {
  static_assert(!std::is_invocable_v<Visitor&, const detail::NoEvent&>,
                "name every event type: a handler of any type would let a new one pass unseen");
  return std::visit(std::forward<Visitor>(visitor), event);
}

/// Events from every port's thread, handed to each subscriber one at a time, in the order they
/// were published, on the publishing thread. No lock of the stream's own is held while a
/// subscriber runs: a port waits only for a subscriber that is busy with another event, never
/// for the stream, and a subscriber may publish (its event follows once the one it is handling
/// has reached every subscriber). A subscriber must be quick (it runs on the port's thread):
/// one that writes somewhere slow queues the text (base/output.h).
class EventStream {
 public:
  using Subscriber = std::function<void(const Event&)>;
  EventStream() = default;
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;
  /// Before the first event.
  void Subscribe(Subscriber subscriber);
  void Publish(const Event& event);

 private:
  struct Entry {
    Subscriber subscriber;
    std::mutex busy;  ///< held while it handles an event
  };
  void Deliver(const Event& event);

  std::vector<std::unique_ptr<Entry>> subscribers_;
};

}  // namespace quillon::station
