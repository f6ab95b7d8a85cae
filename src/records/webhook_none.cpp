#include "records/delivery.h"

namespace quillon::records {

// A build without an HTTP client: --upload says so.
bool WebhookAvailable() { return false; }

std::unique_ptr<Output> MakeWebhook(const WebhookPlan&, std::string&, std::string& error) {
  error = "this build has no HTTP client";
  return nullptr;
}

}  // namespace quillon::records
