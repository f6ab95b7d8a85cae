#include "records/fleet_link.h"

#include <algorithm>

namespace quillon::records {
namespace {

class SteadyClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return std::chrono::steady_clock::now(); }
};

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLongestBackoff{5000};
constexpr std::chrono::seconds kSeenEvery{5};

}  // namespace

const Clock& SystemClock() {
  static const SteadyClock clock;
  return clock;
}

FleetLink::FleetLink(RunRecords& local, StationIdentity identity, FleetPlan plan, FleetConnector connect,
                     const Clock& clock)
    : local_(local), identity_(std::move(identity)), plan_(std::move(plan)), connect_(std::move(connect)), clock_(clock) {}

bool FleetLink::Step() {
  std::string error;
  if (!server_) {
    if (clock_.Now() < retry_at_) {
      Counted(false, {});
      return false;
    }
    server_ = connect_(error);
    if (server_ && !server_->CheckSchema(error)) server_.reset();
  }
  bool more = false;
  if (server_ && Work(more, error)) {
    backoff_ = std::chrono::milliseconds(0);
    Counted(true, {});
    return more;
  }
  // Tried again after a while, longer each time the server stays away.
  server_.reset();
  backoff_ = std::clamp(backoff_ * 2, kFirstBackoff, kLongestBackoff);
  retry_at_ = clock_.Now() + backoff_;
  Counted(false, error);
  return false;
}

bool FleetLink::Work(bool& more, std::string& error) {
  // The leases the fleet gave this station that its database does not hold: a process killed
  // after the server gave one and before it was kept.
  if (!took_up_) {
    std::vector<Lease> open;
    if (!server_->OpenLeases(identity_, open, error)) return false;
    const auto known = local_.KnownLeases(error);
    if (!error.empty()) return false;
    for (const auto& lease : open) {
      if (std::find(known.begin(), known.end(), lease.id) == known.end() && !local_.KeepLease(lease, {}, error)) return false;
    }
    took_up_ = true;
  }
  auto take = [&](const LeaseRequest& request) {
    Lease lease;
    return server_->TakeLease(identity_, request, lease, error) && local_.KeepLease(lease, request.key, error);
  };
  const auto asked = local_.LeaseRequests(error);
  if (!error.empty()) return false;
  for (const auto& request : asked) {
    if (!take(request)) return false;
  }
  // The next lease is taken while half of the last one is left, so a port seldom waits for it.
  if (plan_.numbers && !ended_) {
    const auto left = local_.NumbersLeft(plan_.counter, error);
    if (!left) return false;
    if (*left < static_cast<std::uint64_t>(std::max(1, plan_.lease_size / 2))) {
      const LeaseRequest request{NewUuid(), plan_.counter, plan_.first, plan_.lease_size};
      if (!local_.AskLease(request, error) || !take(request)) return false;
    }
  }
  if (!WorkPools(error)) return false;
  const auto abandoned = local_.AbandonedToReport(error);
  if (!error.empty()) return false;
  for (const auto& numbers : abandoned) {
    if (!server_->Abandon(identity_, numbers, error) || !local_.Reported(numbers, error)) return false;
  }
  const auto closed = local_.LeasesToClose(error);
  if (!error.empty()) return false;
  for (const auto lease : closed) {
    if (!server_->CloseLease(identity_, lease, error) || !local_.CloseReported(lease, error)) return false;
  }
  const auto rows = local_.Outbox(kBatch, error);
  if (!error.empty()) return false;
  if (!rows.empty()) {
    if (!server_->PutUnits(identity_, rows, error) || !local_.Sent(rows, error)) return false;
  }
  more = rows.size() == static_cast<std::size_t>(kBatch);
  if (const auto now = clock_.Now(); now >= seen_at_ || (rows.empty() && !rows_seen_empty_)) {
    const auto waiting = local_.Waiting(error);
    if (!error.empty() || !server_->Seen(identity_, waiting, error)) return false;
    seen_at_ = now + kSeenEvery;
    rows_seen_empty_ = waiting.rows == 0;
  }
  return true;
}

// The pools' leases: the requests whose answers were lost asked again, the next lease taken
// while half of the last one is left, and the values of closed leases no unit kept given back.
bool FleetLink::WorkPools(std::string& error) {
  auto take = [&](const PoolLeaseRequest& request) {
    PoolLease lease;
    return server_->TakePoolLease(identity_, request, lease, error) && local_.KeepPoolLease(lease, request.key, error);
  };
  const auto asked = plan_.pools.empty() ? std::vector<PoolLeaseRequest>{} : local_.PoolLeaseRequests(error);
  if (!error.empty()) return false;
  for (const auto& request : asked) {
    if (!take(request)) return false;
  }
  for (const auto& pool : ended_ ? std::vector<std::string>{} : plan_.pools) {
    const auto left = local_.PoolValuesLeft(pool, error);
    if (!left) return false;
    if (*left < std::max(1, plan_.lease_size / 2)) {
      const PoolLeaseRequest request{NewUuid(), pool, plan_.lease_size};
      if (!local_.AskPoolLease(request, error) || !take(request)) return false;
    }
  }
  const auto closed = plan_.pools.empty() ? std::vector<PoolLease>{} : local_.PoolLeasesToClose(error);
  if (!error.empty()) return false;
  for (const auto& lease : closed) {
    if (!server_->ClosePoolLease(identity_, lease, error) || !local_.PoolLeaseClosed(lease, error)) return false;
  }
  return true;
}

bool FleetLink::End(std::string& error) {
  ended_ = true;
  return (!plan_.numbers && plan_.pools.empty()) || local_.EndLeases("the station ended", error);
}

void FleetLink::Counted(bool connected, const std::string& error) {
  std::string ignored;
  const auto waiting = local_.Waiting(ignored);
  const auto left = plan_.numbers ? local_.NumbersLeft(plan_.counter, ignored) : std::nullopt;
  const std::lock_guard lock(mutex_);
  if (connected) {
    state_.offline_since_utc.reset();
    state_.error.clear();
  } else {
    if (!state_.offline_since_utc) state_.offline_since_utc = UtcNow();
    if (!error.empty()) state_.error = error;
  }
  state_.connected = connected;
  state_.rows_waiting = waiting.rows;
  state_.oldest_utc = waiting.oldest_utc;
  state_.numbers_left = left;
}

FleetLinkState FleetLink::State() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

}  // namespace quillon::records
