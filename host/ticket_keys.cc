#include "ticket_keys.h"

#include <string.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <utility>

constexpr int TicketKeys::kNameSize;
constexpr int TicketKeys::kSecretSize;

TicketKeys::TicketKeys(std::chrono::seconds period, Clock clock)
    : period_(period), clock_(std::move(clock)) {}

TicketKeys::~TicketKeys() {
  OPENSSL_cleanse(&current_, sizeof current_);
  OPENSSL_cleanse(&previous_, sizeof previous_);
}

bool TicketKeys::RotateIfDue() {
  auto now = clock_();
  if (has_current_ && now - current_made_ < period_) return true;
  Key fresh;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&fresh), sizeof fresh) != 1) return false;
  // A key whose period ended long ago opens nothing any more: only the one
  // that was current until now stays as the previous key.
  bool recent = has_current_ && now - current_made_ < 2 * period_;
  previous_ = current_;
  has_previous_ = recent;
  current_ = fresh;
  has_current_ = true;
  current_made_ = now;
  OPENSSL_cleanse(&fresh, sizeof fresh);
  return true;
}

bool TicketKeys::ForSealing(Key* key) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!RotateIfDue()) return false;
  *key = current_;
  return true;
}

TicketKeys::Found TicketKeys::ForOpening(const unsigned char* name, Key* key) {
  std::lock_guard<std::mutex> lock(mu_);
  // A failure to make a new key leaves the old ones as they are; opening
  // then goes on with them.
  RotateIfDue();
  if (has_current_ && memcmp(name, current_.name, kNameSize) == 0) {
    *key = current_;
    return Found::kCurrent;
  }
  if (has_previous_ && memcmp(name, previous_.name, kNameSize) == 0) {
    *key = previous_;
    return Found::kPrevious;
  }
  return Found::kNone;
}
