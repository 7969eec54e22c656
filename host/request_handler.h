// What the server does with one request once the connection has read it:
// admit it (method, access rules), find the file below the document root,
// then call the plug-in (a .tvx file) or send the file.
#ifndef HOST_REQUEST_HANDLER_H_
#define HOST_REQUEST_HANDLER_H_

#include <atomic>
#include <set>
#include <string>

#include "access_policy.h"
#include "http_message.h"
#include "path_resolver.h"
#include "plugin_cache.h"
#include "request_guard.h"
#include "static_files.h"

struct HandlerConfig {
  std::string root_real;  // real path of the document root, no trailing '/'
  std::string realm;
  bool tls = false;
  // Real paths never sent as files even inside the root: the store and its
  // journals, the htpasswd files, the access log.
  std::set<std::string> private_files;
};

class RequestHandler {
 public:
  // `guard` holds the trusted proxies, the deny list and the flood limit.
  RequestHandler(HandlerConfig config, const AccessPolicy* policy, PluginCache* plugins,
                 RequestGuard* guard);

  // Fills in who the request is from (RequestGuard::Identify): the
  // connection calls it before Serve, so that the access log sees the same.
  void Identify(HttpRequest* request) const { guard_->Identify(request); }
  // True when connections from `peer` are not held to the per-address limit.
  bool TrustsPeer(const std::string& peer) const { return guard_->TrustsPeer(peer); }
  // The client's cap on calls in flight (RequestGuard::AdmitCall and
  // ReleaseCall): the connection counts a request that NeedsWorker from the
  // moment it hands it to the pool until the worker is done with it.
  bool AdmitCall(const HttpRequest& request, HttpAnswer* answer) {
    return guard_->AdmitCall(request, answer);
  }
  void ReleaseCall(const HttpRequest& request) { guard_->ReleaseCall(request); }

  // Answers a request read whole. Thread-safe.
  void Serve(const HttpRequest& request, HttpAnswer* answer);

  // True when serving the request may wait for a plug-in or a password hash,
  // so that it belongs on a worker thread rather than the connection loop.
  bool NeedsWorker(const HttpRequest& request) const;

 private:
  RequestHandler(const RequestHandler&) = delete;
  RequestHandler& operator=(const RequestHandler&) = delete;

  // The checks every request passes before it is routed: the method, the
  // path's syntax and the access rules on the path as asked for. False with
  // the refusal in *answer. On success *lexical is the normalized path.
  bool Admit(const HttpRequest& request, std::string* lexical, HttpAnswer* answer) const;
  // The access rules for one path; a path under an --auth prefix is
  // checked by the guard first and marks the answer as guarded.
  bool Permit(const std::string& path, const HttpRequest& request, HttpAnswer* answer) const;
  void Route(const HttpRequest& request, HttpAnswer* answer);
  void ServeDirectory(const HttpRequest& request, HttpAnswer* answer, const std::string& lexical);
  void ServeFile(const HttpRequest& request, HttpAnswer* answer, const ResolvedPath& resolved);
  // Calls the plug-in and answers with what it wrote. A call during which a
  // store call failed as unavailable (PlatformTakeStoreOutage) and that did
  // not answer with a redirect is answered 503 with Retry-After, the
  // plug-in's page as the body, and a line in the error log.
  void RunPlugin(const HttpRequest& request, HttpAnswer* answer, const std::string& lexical,
                 const std::string& real);

  const HandlerConfig config_;
  const AccessPolicy* policy_;
  PluginCache* plugins_;
  RequestGuard* guard_;
  StaticFileCache files_;
  std::string document_root_ansi_;
  bool root_is_ansi_ = false;
  // The block size of the next plug-in response: the last response's size
  // rounded up to a power of two, so that a page is written into one block
  // instead of growing 512 bytes at a time.
  std::atomic<int> response_block_{kSmallestResponseBlock};
  static constexpr int kSmallestResponseBlock = 512;
  static constexpr int kLargestResponseBlock = 64 * 1024;
};

// The location a plug-in wrote, made fit for an HTTP header: Shift_JIS text
// becomes UTF-8, and bytes from 0x80 up, spaces and control bytes are
// percent-encoded. Other characters (an existing %XY, '?', '&') stay.
std::string EncodeLocation(const std::string& location);

#endif  // HOST_REQUEST_HANDLER_H_
