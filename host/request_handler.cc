#include "request_handler.h"

#include <strings.h>

#include "byte_escape.h"
#include "ceplatform.h"
#include "cgi_variables.h"
#include "code_page.h"
#include "error_log.h"
#include "path_resolver.h"
#include "plugin_path_check.h"
#include "plugin_response.h"
#include "static_files.h"
#include "tvx_library.h"

namespace {

bool HasBody(const HttpRequest& request) {
  return !request.body.empty() || request.headers.Has("Content-Length") ||
         request.headers.Has("Transfer-Encoding");
}

// A body the plug-in could not read as sent: compressed (and it would grow
// past the body limit unseen).
bool EncodedBody(const HttpRequest& request) {
  const HttpHeaders::Field* coding = request.headers.Find("Content-Encoding");
  return coding != nullptr && strcasecmp(coding->value.c_str(), "identity") != 0;
}

// Seconds a client is asked to wait after an outage: about the store's
// connect timeout, in which a server that is starting up usually is up.
constexpr int kOutageRetrySeconds = 5;

// What PlatformTakeStoreOutage's code means, for the error log.
const char* OutageReason(DWORD code) {
  switch (code) {
    case ERROR_NOT_READY:
      return "unreachable, error 21";
    case ERROR_TIMEOUT:
      return "timed out, error 1460";
    case ERROR_WRITE_FAULT:
      return "a write's outcome unknown, error 29";
    default:
      return "unavailable";
  }
}

}  // namespace

std::string EncodeLocation(const std::string& location) {
  std::string text = location;
  bool high = false;
  for (char c : location) high = high || static_cast<unsigned char>(c) >= 0x80;
  std::string utf8;
  if (high && AnsiToUtf8(location, &utf8)) text = utf8;
  return EscapeBytes(text, EscapeSet::kUrlText);
}

RequestHandler::RequestHandler(HandlerConfig config, const AccessPolicy* policy,
                               PluginCache* plugins, RequestGuard* guard)
    : config_(std::move(config)), policy_(policy), plugins_(plugins), guard_(guard) {
  std::string root = config_.root_real == "/" ? std::string() : config_.root_real;
  root_is_ansi_ = Utf8ToAnsi(root, &document_root_ansi_);
}

bool RequestHandler::NeedsWorker(const HttpRequest& request) const {
  std::string lexical;
  if (!NormalizeUrlPath(request.path, &lexical)) return false;
  return IsPluginName(lexical) || policy_->NeedsCredentials(lexical);
}

bool RequestHandler::Permit(const std::string& path, const HttpRequest& request,
                            HttpAnswer* answer) const {
  if (policy_->NeedsCredentials(path)) {
    answer->guarded = true;
    if (!guard_->AdmitGuardedPath(request, answer)) return false;
  }
  std::string user;
  AccessDecision decision = policy_->Check(path, request.client_addr,
                                           request.headers.Get("Authorization"), &user);
  if (decision == AccessDecision::kForbidden) {
    answer->Refuse(403);
    return false;
  }
  if (decision == AccessDecision::kUnauthorized) {
    answer->Refuse(401);
    answer->headers.Set("WWW-Authenticate",
                        "Basic realm=\"" + config_.realm + "\", charset=\"UTF-8\"");
    return false;
  }
  if (!user.empty()) answer->user = user;
  return true;
}

bool RequestHandler::Admit(const HttpRequest& request, std::string* lexical,
                           HttpAnswer* answer) const {
  if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
    answer->Refuse(IsHttpToken(request.method) ? 405 : 400);
    answer->headers.Set("Allow", "GET, HEAD, POST");
    return false;
  }
  if (!NormalizeUrlPath(request.path, lexical)) {
    answer->Refuse(400);
    return false;
  }
  // The rules see the path as asked for and, after routing, as found on
  // disk: a symbolic link can neither lead into a protected folder nor out
  // of one.
  if (!Permit(*lexical, request, answer)) return false;
  if (HasHiddenSegment(*lexical)) {
    answer->Refuse(404);
    return false;
  }
  return true;
}

void RequestHandler::Serve(const HttpRequest& request, HttpAnswer* answer) {
  if (guard_->RefuseDenied(request, answer)) return;
  Route(request, answer);
}

void RequestHandler::Route(const HttpRequest& request, HttpAnswer* answer) {
  std::string lexical;
  if (!Admit(request, &lexical, answer)) return;
  ResolvedPath resolved = ResolvePath(config_.root_real, lexical);
  switch (resolved.kind) {
    case PathKind::kNotFound:
      answer->kind = AnswerKind::kStatic;
      answer->Refuse(404);
      return;
    case PathKind::kOutsideRoot:
      LogError("%s: refused, the real path %s lies outside the document root",
               lexical.c_str(), resolved.real.c_str());
      answer->Refuse(403);
      return;
    case PathKind::kForbidden:
      answer->Refuse(403);
      return;
    case PathKind::kDirectory:
    case PathKind::kFile:
      break;
  }
  if (!Permit(resolved.relative, request, answer)) return;
  if (HasHiddenSegment(resolved.relative) || config_.private_files.count(resolved.real) > 0) {
    answer->Refuse(404);
    return;
  }
  if (resolved.kind == PathKind::kDirectory) {
    if (request.path.empty() || request.path.back() != '/') {
      // Relative links in the folder's index page need the trailing slash.
      std::string location = EscapeBytes(lexical == "/" ? "/" : lexical + "/", EscapeSet::kUrlPath);
      size_t question = request.target.find('?');
      if (question != std::string::npos) {
        location += EscapeBytes(request.target.substr(question), EscapeSet::kUrlText);
      }
      answer->kind = AnswerKind::kStatic;
      answer->Refuse(301);
      answer->headers.Set("Location", location);
      return;
    }
    ServeDirectory(request, answer, lexical);
    return;
  }
  if (IsPluginName(lexical)) {
    if (EncodedBody(request) && HasBody(request)) {
      answer->Refuse(415);
      return;
    }
    // The plug-in writes its URL path into its pages unescaped.
    if (!IsSafePluginPath(lexical)) {
      LogError("%s", UnsafePluginLogLine(resolved.real, lexical).c_str());
      answer->Refuse(500);
      return;
    }
    // Posts to the boards are limited per client; the owner's pages are not.
    if (request.method == "POST" && !answer->guarded && !guard_->AdmitPost(request, answer)) {
      return;
    }
    RunPlugin(request, answer, lexical, resolved.real);
    return;
  }
  if (IsPluginName(resolved.relative)) {
    // A plug-in reached under another name is never sent as bytes.
    answer->Refuse(403);
    return;
  }
  ServeFile(request, answer, resolved);
}

void RequestHandler::ServeDirectory(const HttpRequest& request, HttpAnswer* answer,
                                    const std::string& lexical) {
  std::string index = (lexical == "/" ? "" : lexical) + "/index.html";
  ResolvedPath resolved = ResolvePath(config_.root_real, index);
  if (resolved.kind != PathKind::kFile) {
    answer->Refuse(403);  // no index page, and folders are never listed
    return;
  }
  if (!Permit(resolved.relative, request, answer)) return;
  if (HasHiddenSegment(resolved.relative) || IsPluginName(resolved.relative) ||
      config_.private_files.count(resolved.real) > 0) {
    answer->Refuse(403);
    return;
  }
  ServeFile(request, answer, resolved);
}

void RequestHandler::ServeFile(const HttpRequest& request, HttpAnswer* answer,
                               const ResolvedPath& resolved) {
  if (request.method == "POST") {  // files are only read
    answer->Refuse(405);
    answer->headers.Set("Allow", "GET, HEAD");
    return;
  }
  if (!ServeStaticFile(request, answer, resolved.real, resolved.info, &files_)) {
    answer->Refuse(403);
    return;
  }
  answer->kind = AnswerKind::kStatic;
}

void RequestHandler::RunPlugin(const HttpRequest& request, HttpAnswer* answer,
                               const std::string& lexical, const std::string& real) {
  answer->kind = AnswerKind::kPlugin;
  std::string error;
  bool fresh_failure = false;
  std::shared_ptr<const TvxLibrary> library = plugins_->Get(real, &error, &fresh_failure);
  if (!library) {
    if (fresh_failure) LogError("%s: not a loadable plug-in: %s", real.c_str(), error.c_str());
    answer->Refuse(500);
    return;
  }

  CgiInputs inputs;
  if (!Utf8ToAnsi(lexical, &inputs.script_name_ansi) || !root_is_ansi_) {
    LogError("%s: the script path or document root cannot be written in Shift_JIS, which the "
             "plug-in needs to find its files",
             real.c_str());
    answer->Refuse(500);
    return;
  }
  inputs.document_root_ansi = document_root_ansi_;
  inputs.user = answer->user;
  inputs.tls = config_.tls || request.scheme == "https";

  TvxRequest call;
  if (!call.SetAll(CgiVariables(request, inputs))) {
    LogError("%s: out of memory building the request variables", real.c_str());
    answer->Refuse(500);
    return;
  }
  if (!call.SetBody(request.body)) {
    LogError("%s: out of memory copying a request body of %zu bytes", real.c_str(),
             request.body.size());
    answer->Refuse(500);
    return;
  }

  call.response().blockSize = response_block_.load(std::memory_order_relaxed);
  // The outage record is this worker thread's: whatever an earlier call
  // left is dropped, and what is there afterwards is this call's.
  PlatformTakeStoreOutage();
  int length = call.Run(*library);
  DWORD outage = PlatformTakeStoreOutage();
  int block = kSmallestResponseBlock;
  while (block < kLargestResponseBlock && block <= length) block *= 2;
  response_block_.store(block, std::memory_order_relaxed);
  // The page goes out from the response's own block: a listing of many
  // megabytes is held once.
  PluginAnswer parsed;
  std::shared_ptr<const HeapBody> page;
  if (!TakePluginResponse(length, &call.response(), &parsed, &page, &error)) {
    LogError("%s: %s; answered 502", real.c_str(), error.c_str());
    answer->Refuse(502);
    return;
  }
  // A page is made for each request: a range of it would be a range of
  // another page than the next request's, so Range is never looked at here.
  answer->status = parsed.status;
  for (const auto& header : parsed.headers) answer->headers.Add(header.first, header.second);
  if (!parsed.location.empty()) answer->headers.Set("Location", EncodeLocation(parsed.location));
  answer->body.clear();
  if (parsed.has_body) {
    answer->headers.Set("Content-Type", parsed.content_type);
    answer->heap = std::move(page);
  }
  // A redirect means the plug-in finished its work (a post stored after a
  // retry inside the call): only a page answered without it is an outage.
  if (outage != 0 && parsed.location.empty()) {
    LogError("%s: the store was unavailable (%s); answered 503", real.c_str(),
             OutageReason(outage));
    answer->status = 503;
    answer->headers.Set("Retry-After", std::to_string(kOutageRetrySeconds));
  }
}
