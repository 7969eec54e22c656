#include "client_call_cap.h"

#include <algorithm>
#include <utility>

constexpr int ClientCallCap::kDefaultPerClient;
constexpr std::chrono::seconds ClientCallCap::kLogInterval;
constexpr size_t ClientCallCap::kLoggedClients;

ClientCallCap::ClientCallCap(int per_client, Clock clock)
    : per_client_(per_client > 0 ? per_client : 0), clock_(std::move(clock)) {
  if (enabled()) logged_.reserve(kLoggedClients);
}

CallAdmission ClientCallCap::Acquire(const std::string& client_address) {
  CallAdmission admission;
  if (!enabled()) return admission;
  ClientKey key = ClientKeyOf(client_address);
  std::lock_guard<std::mutex> lock(mu_);
  int& count = counts_[key];
  if (count < per_client_) {
    ++count;
    return admission;
  }
  admission.admitted = false;
  admission.log = LogRefusal(key, &admission);
  return admission;
}

bool ClientCallCap::LogRefusal(const ClientKey& key, CallAdmission* admission) {
  auto now = clock_();
  logged_.erase(std::remove_if(logged_.begin(), logged_.end(),
                               [now](const Logged& logged) {
                                 return now - logged.at >= kLogInterval;
                               }),
                logged_.end());
  bool recent = std::any_of(logged_.begin(), logged_.end(),
                            [&key](const Logged& logged) { return logged.key == key; });
  if (recent || logged_.size() >= kLoggedClients) {
    ++unlogged_;
    return false;
  }
  logged_.push_back(Logged{key, now});
  admission->unlogged = unlogged_;
  unlogged_ = 0;
  return true;
}

void ClientCallCap::Release(const std::string& client_address) {
  if (!enabled()) return;
  ClientKey key = ClientKeyOf(client_address);
  std::lock_guard<std::mutex> lock(mu_);
  auto found = counts_.find(key);
  if (found == counts_.end()) return;
  if (--found->second <= 0) counts_.erase(found);
}

int ClientCallCap::calls(const std::string& client_address) const {
  ClientKey key = ClientKeyOf(client_address);
  std::lock_guard<std::mutex> lock(mu_);
  auto found = counts_.find(key);
  return found != counts_.end() ? found->second : 0;
}

size_t ClientCallCap::clients() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_.size();
}
