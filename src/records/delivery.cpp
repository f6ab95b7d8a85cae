#include "records/delivery.h"

#include <algorithm>
#include <filesystem>

#include "base/program_paths.h"
#include "base/replace_file.h"

namespace quillon::records {
namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLongestBackoff{10000};
// An output that asks for more than this is asked again sooner: a station's units must not
// wait a day because of one header.
constexpr std::chrono::seconds kLongestRetryAfter{600};

class DropFolder final : public Output {
 public:
  DropFolder(std::string folder, std::string station) : folder_(std::move(folder)), station_(std::move(station)) {}
  std::string Name() const override { return "drop-folder"; }
  std::string Where() const override { return folder_; }
  SendOutcome Send(const UnitRow& row, const std::string&, const std::string& body) override {
    std::string why;
    if (ReplaceFileContents(Utf8Path(folder_) / Utf8Path(DropFileName(station_, row.id)), body, &why)) return {};
    return {SendOutcome::Kind::kRetry, why, std::nullopt};
  }

 private:
  std::string folder_;
  std::string station_;
};

}  // namespace

std::string IdempotencyKey(const std::string& station_uuid, std::int64_t unit) {
  return station_uuid + "-" + std::to_string(unit);
}

std::string DropFileName(const std::string& station, std::int64_t unit) {
  // A station's name may hold anything; a file name on any system holds these.
  std::string name;
  for (const char c : station) {
    const auto byte = static_cast<unsigned char>(c);
    name += std::isalnum(byte) != 0 || c == '-' || c == '_' || c == '.' ? c : '_';
  }
  if (name.empty() || name.front() == '.') name.insert(0, "station");
  return name + "-" + std::to_string(unit) + ".json";
}

std::unique_ptr<Output> MakeDropFolder(const std::string& folder, const std::string& station) {
  return std::make_unique<DropFolder>(folder, station);
}

DeliveryLink::DeliveryLink(RunRecords& local, std::unique_ptr<Output> output, std::string station_uuid, BodyMaker body,
                           const Clock& clock)
    : local_(local),
      output_(std::move(output)),
      station_uuid_(std::move(station_uuid)),
      body_(std::move(body)),
      clock_(clock) {
  Counted({});
}

bool DeliveryLink::Step() {
  if (clock_.Now() < retry_at_) return false;
  const std::string name = output_->Name();
  std::string error;
  const auto waiting = local_.ToDeliver(name, kBatch, error);
  std::vector<std::int64_t> delivered;
  std::optional<SendOutcome> refused;
  std::int64_t refused_unit = 0;
  for (const auto& delivery : waiting) {
    const std::string key = IdempotencyKey(station_uuid_, delivery.row.id);
    auto outcome = output_->Send(delivery.row, key, body_(delivery.row, key));
    if (outcome.kind != SendOutcome::Kind::kDelivered) {
      refused = std::move(outcome);
      refused_unit = delivery.row.id;
      break;
    }
    delivered.push_back(delivery.row.id);
  }
  // A unit the output took but the database did not mark is sent again, with the same key.
  if (!delivered.empty()) local_.Delivered(delivered, name, error);
  if (refused) {
    const bool stop = refused->kind == SendOutcome::Kind::kNeedsPerson;
    local_.NotDelivered(refused_unit, name, refused->error, stop, error);
    if (stop) {
      // Only this unit waits for a person; the others go on at once.
      Counted({});
      const std::lock_guard lock(mutex_);
      state_.error = refused->error;
      return true;
    }
    error = refused->error;
  }
  if (!error.empty()) {
    // Tried again after a while, longer each time the output stays away, or when it said.
    backoff_ = std::clamp(backoff_ * 2, kFirstBackoff, kLongestBackoff);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(backoff_);
    if (refused && refused->retry_after) {
      wait = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::clamp(*refused->retry_after, std::chrono::seconds(0), kLongestRetryAfter));
    }
    retry_at_ = clock_.Now() + wait;
    Counted(error);
    return false;
  }
  backoff_ = std::chrono::milliseconds(0);
  Counted({});
  return waiting.size() == static_cast<std::size_t>(kBatch);
}

void DeliveryLink::Counted(std::string error) {
  std::string ignored;
  const auto count = local_.OutputWaiting(output_->Name(), ignored);
  const std::lock_guard lock(mutex_);
  state_.failing = !error.empty();
  if (state_.failing || count.stopped == 0) state_.error = std::move(error);
  state_.count = count;
}

OutputState DeliveryLink::State() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

bool DeliveryLink::AllDelivered() const {
  const std::lock_guard lock(mutex_);
  return !state_.failing && state_.count.waiting == 0;
}

}  // namespace quillon::records
