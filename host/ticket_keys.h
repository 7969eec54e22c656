// The keys that seal TLS session tickets. A ticket holds a session's secrets
// sealed under one of these keys; whoever holds the key can open every
// session resumed with it, so a key lives for one period only:
//
//  - a new ticket is sealed with the current key, which is made anew (from
//    OpenSSL's random bytes) once it is `period` old;
//  - the key before it still opens tickets, so that a ticket issued just
//    before a change lasts its whole lifetime; the client is then handed a
//    new ticket under the current key;
//  - older keys are gone: their tickets no longer open, and the client makes
//    a full handshake.
//
// So no key is in memory for more than two periods. Thread-safe.
#ifndef HOST_TICKET_KEYS_H_
#define HOST_TICKET_KEYS_H_

#include <chrono>
#include <functional>
#include <mutex>

class TicketKeys {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr int kNameSize = 16;
  static constexpr int kSecretSize = 32;

  // One key: its name (sent in the clear with the ticket, so that the
  // server finds the key again), the cipher key and the MAC key.
  struct Key {
    unsigned char name[kNameSize];
    unsigned char cipher[kSecretSize];
    unsigned char mac[kSecretSize];
  };

  // What ForOpening found for a ticket's name.
  enum class Found { kNone, kCurrent, kPrevious };

  explicit TicketKeys(std::chrono::seconds period, Clock clock = std::chrono::steady_clock::now);
  ~TicketKeys();

  // The key to seal a new ticket with, in *key. False (nothing in *key)
  // when no random bytes could be had for a new key.
  bool ForSealing(Key* key);

  // The key named `name`, in *key when found. kPrevious means the ticket
  // opens but should be replaced by one under the current key.
  Found ForOpening(const unsigned char* name, Key* key);

  std::chrono::seconds period() const { return period_; }

 private:
  TicketKeys(const TicketKeys&) = delete;
  TicketKeys& operator=(const TicketKeys&) = delete;

  // Makes the current key the previous one and a new current key when the
  // current one is a period old (or there is none). REQUIRES: mu_ held.
  bool RotateIfDue();

  const std::chrono::seconds period_;
  const Clock clock_;
  std::mutex mu_;
  Key current_{};   // guarded by mu_
  Key previous_{};  // guarded by mu_
  bool has_current_ = false;   // guarded by mu_
  bool has_previous_ = false;  // guarded by mu_
  std::chrono::steady_clock::time_point current_made_;  // guarded by mu_
};

#endif  // HOST_TICKET_KEYS_H_
