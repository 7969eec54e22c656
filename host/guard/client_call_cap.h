// ClientCallCap: how many plug-in calls one client may have running or
// waiting for a worker at once, so that one client sending many slow
// requests together (deep pages of a huge board, say) cannot hold every
// worker while other visitors wait.
//
// Clients are counted as ClientKeyOf counts them (an IPv4 address by itself,
// an IPv6 address by its /64). A browser opens at most 6 connections to one
// host, so a browser has at most 6 calls in flight: the default cap of 6
// never stops one, and with the default 8 workers a single client leaves at
// least 2 to everyone else.
//
// Memory follows the calls in flight: a client has an entry only while it
// has a call counted, and the entry goes when its count returns to 0.
//
// A refusal is worth a line in the error log, but a client that floods
// would flood the log too: a client's refusals are logged at most once every
// kLogInterval, and no more than kLoggedClients clients' in one interval
// (a flood from many addresses at once). A line tells how many refusals
// were left out since the line before; each is in the access log with its
// 503 all the same.
//
// Thread-safe. The clock is passed in, so tests step time by hand.
//
// The server makes one from --calls-per-client and, for each request that
// goes to a worker, calls Acquire before handing it over; a refused request
// is answered 503 with Retry-After and never reaches the plug-in. Each call
// admitted is Released once, when its worker is done with it or when the
// worker pool would not take it.
#ifndef HOST_GUARD_CLIENT_CALL_CAP_H_
#define HOST_GUARD_CLIENT_CALL_CAP_H_

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "client_key.h"

// The answer to one call.
struct CallAdmission {
  bool admitted = true;
  // When refused: this refusal is to be logged, and `unlogged` refusals
  // came since the last one that was.
  bool log = false;
  uint64_t unlogged = 0;
};

class ClientCallCap {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr int kDefaultPerClient = 6;
  static constexpr std::chrono::seconds kLogInterval{5};
  static constexpr size_t kLoggedClients = 16;

  // per_client 0 turns the cap off: every call is admitted and nothing is
  // counted. REQUIRES: per_client >= 0.
  explicit ClientCallCap(int per_client, Clock clock = std::chrono::steady_clock::now);

  // Counts a call of `client_address` (as REMOTE_ADDR shows it, after
  // trusted proxies) when the client has fewer than per_client() counted;
  // a refused call counts nothing.
  CallAdmission Acquire(const std::string& client_address);
  // Ends a call counted by Acquire. REQUIRES: once per admitted call, with
  // the same address (any address of the same client will do).
  void Release(const std::string& client_address);

  bool enabled() const { return per_client_ > 0; }
  int per_client() const { return per_client_; }
  // Calls counted now for the client of `client_address`.
  int calls(const std::string& client_address) const;
  // Clients with a call counted now.
  size_t clients() const;

 private:
  ClientCallCap(const ClientCallCap&) = delete;
  ClientCallCap& operator=(const ClientCallCap&) = delete;

  // A client whose refusal was logged, and when.
  struct Logged {
    ClientKey key;
    std::chrono::steady_clock::time_point at;
  };

  // Whether the refusal of `key` goes to the log; when it does, the count
  // left out before it goes into admission->unlogged. REQUIRES: mu_ held.
  bool LogRefusal(const ClientKey& key, CallAdmission* admission);

  const int per_client_;
  const Clock clock_;

  mutable std::mutex mu_;
  std::unordered_map<ClientKey, int, ClientKeyHash> counts_;  // guarded by mu_
  // The clients logged within kLogInterval, at most kLoggedClients (room
  // for them taken when the cap is made), and the refusals left out of the
  // log since its last line. Guarded by mu_.
  std::vector<Logged> logged_;
  uint64_t unlogged_ = 0;
};

#endif  // HOST_GUARD_CLIENT_CALL_CAP_H_
