#pragma once
// The deliveries to the factory's systems: every finished unit goes once to each output (a
// webhook, a drop folder), in the order the units ended, from the station's own database, so
// an output that is away for a while gets every unit when it is back and a port never waits
// for it.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "records/fleet_link.h"
#include "records/run_records.h"

namespace quillon::records {

/// An output's answer to one unit.
struct SendOutcome {
  enum class Kind {
    kDelivered,
    kRetry,        ///< away, busy or failing for now: the same unit again after a while
    kNeedsPerson,  ///< refused in a way no retry mends: this unit waits for a person
  };
  Kind kind = Kind::kDelivered;
  std::string error;  ///< why not, in a few words (never a header's value)
  std::optional<std::chrono::seconds> retry_after;  ///< the output's own word on when to try again
};

/// Where units go: one call per unit; the same unit may be sent again after any outcome but
/// kDelivered, always with the same key.
class Output {
 public:
  virtual ~Output() = default;
  /// The output's name in the records ("upload", "drop-folder").
  virtual std::string Name() const = 0;
  /// Where it is, as a person reads it (no password, no header's value).
  virtual std::string Where() const = 0;
  virtual SendOutcome Send(const UnitRow& row, const std::string& key, const std::string& body) = 0;
};

/// A unit's idempotency key: the same on every try, distinct across the factory's stations.
std::string IdempotencyKey(const std::string& station_uuid, std::int64_t unit);

/// Writes one file per unit into a folder: `<station>-<unit id>.json`, written whole under a
/// temporary name and renamed, so a reader never sees half a file and a second delivery
/// replaces the first.
std::unique_ptr<Output> MakeDropFolder(const std::string& folder, const std::string& station);
/// The file name a unit gets in a drop folder.
std::string DropFileName(const std::string& station, std::int64_t unit);

/// How a webhook is reached.
struct WebhookPlan {
  std::string url;                   ///< http:// or https://
  std::string ca_file;               ///< a PEM file of the authorities to trust; empty: the system's
  std::vector<std::string> headers;  ///< "Name: value", sent with every POST
  std::chrono::milliseconds timeout{10000};
};
/// The webhook, or nothing with `error` (a URL that is not one, a header that is not one, an
/// authority file that cannot be read, plain HTTP to an address that is not private). Plain
/// HTTP to a private address sets `warning`.
std::unique_ptr<Output> MakeWebhook(const WebhookPlan& plan, std::string& warning, std::string& error);
/// False in a build without an HTTP client.
bool WebhookAvailable();

/// What a station shows of one output.
struct OutputState {
  bool failing = false;  ///< the last try failed and the next waits for its time
  std::string error;     ///< why it failed (or why the last stopped unit was refused)
  OutputCount count;
  bool operator==(const OutputState&) const = default;
};

/// Makes a unit's body (the JSON it is sent as).
using BodyMaker = std::function<std::string(const UnitRow& row, const std::string& key)>;

/// One output fed from the station's database.
class DeliveryLink {
 public:
  DeliveryLink(RunRecords& local, std::unique_ptr<Output> output, std::string station_uuid, BodyMaker body,
               const Clock& clock = SystemClock());

  /// Sends the units waiting, oldest first, while the output takes them (at most a batch);
  /// after a failure, nothing until its time to try again. True when more is ready at once.
  bool Step();
  OutputState State() const;
  /// Nothing waits (stopped units apart) and the last try did not fail.
  bool AllDelivered() const;
  const Output& output() const { return *output_; }
  static constexpr int kBatch = 64;

 private:
  void Counted(std::string error);

  RunRecords& local_;
  std::unique_ptr<Output> output_;
  std::string station_uuid_;
  BodyMaker body_;
  const Clock& clock_;
  std::chrono::steady_clock::time_point retry_at_{};
  std::chrono::milliseconds backoff_{0};
  mutable std::mutex mutex_;
  OutputState state_;
};

}  // namespace quillon::records
