#include "request_handler.h"

#include "cgi_variables.h"
#include "code_page.h"
#include "error_log.h"
#include "path_resolver.h"
#include "plugin_response.h"
#include "static_files.h"
#include "tvx_library.h"

namespace {

const char kHex[] = "0123456789ABCDEF";

void Refuse(httplib::Response& response, int status) {
  response.status = status;
  response.body.clear();
}

bool HasBody(const httplib::Request& request, const std::string& body) {
  return !body.empty() || request.has_header("Content-Length") ||
         request.has_header("Transfer-Encoding");
}

// The bytes of a URL as sent, fit for a header: control bytes, spaces and
// bytes from 0x80 up percent-encoded, the rest as it was.
std::string EncodeUnsafeBytes(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string EncodeUrlPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string EncodeLocation(const std::string& location) {
  std::string text = location;
  bool high = false;
  for (char c : location) high = high || static_cast<unsigned char>(c) >= 0x80;
  std::string utf8;
  if (high && AnsiToUtf8(location, &utf8)) text = utf8;
  return EncodeUnsafeBytes(text);
}

RequestHandler::RequestHandler(HandlerConfig config, const AccessPolicy* policy,
                               PluginCache* plugins)
    : config_(std::move(config)), policy_(policy), plugins_(plugins) {
  std::string root = config_.root_real == "/" ? std::string() : config_.root_real;
  root_is_ansi_ = Utf8ToAnsi(root, &document_root_ansi_);
}

bool RequestHandler::Permit(const std::string& path, const httplib::Request& request,
                            httplib::Response& response, RequestContext* context) const {
  std::string user;
  AccessDecision decision = policy_->Check(path, request.remote_addr,
                                           request.get_header_value("Authorization"), &user);
  if (decision == AccessDecision::kForbidden) {
    Refuse(response, 403);
    return false;
  }
  if (decision == AccessDecision::kUnauthorized) {
    Refuse(response, 401);
    response.set_header("WWW-Authenticate",
                        "Basic realm=\"" + config_.realm + "\", charset=\"UTF-8\"");
    return false;
  }
  if (!user.empty()) context->user = user;
  return true;
}

void RequestHandler::Serve(const httplib::Request& request, httplib::Response& response,
                           const std::string& body, RequestContext* context) {
  std::string lexical;
  if (!NormalizeUrlPath(request.path, &lexical)) {
    Refuse(response, 400);
    return;
  }
  // The rules see the path as asked for and, below, as found on disk: a
  // symbolic link can neither lead into a protected folder nor out of one.
  if (!Permit(lexical, request, response, context)) return;
  if (HasHiddenSegment(lexical)) {
    Refuse(response, 404);
    return;
  }
  ResolvedPath resolved = ResolvePath(config_.root_real, lexical);
  switch (resolved.kind) {
    case PathKind::kNotFound:
      Refuse(response, 404);
      return;
    case PathKind::kOutsideRoot:
      LogError("%s: refused, the real path %s lies outside the document root",
               lexical.c_str(), resolved.real.c_str());
      Refuse(response, 403);
      return;
    case PathKind::kForbidden:
      Refuse(response, 403);
      return;
    case PathKind::kDirectory:
    case PathKind::kFile:
      break;
  }
  if (!Permit(resolved.relative, request, response, context)) return;
  if (HasHiddenSegment(resolved.relative) || config_.private_files.count(resolved.real) > 0) {
    Refuse(response, 404);
    return;
  }
  if (resolved.kind == PathKind::kDirectory) {
    if (request.path.empty() || request.path.back() != '/') {
      // Relative links in the folder's index page need the trailing slash.
      std::string location = EncodeUrlPath(lexical == "/" ? "/" : lexical + "/");
      size_t question = request.target.find('?');
      if (question != std::string::npos) {
        location += EncodeUnsafeBytes(request.target.substr(question));
      }
      response.status = 301;
      response.set_header("Location", location);
      return;
    }
    ServeDirectory(request, response, lexical, context);
    return;
  }
  if (IsPluginName(lexical)) {
    if (context->encoded_body && HasBody(request, body)) {
      Refuse(response, 415);
      return;
    }
    RunPlugin(request, response, body, lexical, resolved.real, context);
    return;
  }
  if (IsPluginName(resolved.relative)) {
    // A plug-in reached under another name is never sent as bytes.
    Refuse(response, 403);
    return;
  }
  ServeFile(request, response, resolved);
}

void RequestHandler::ServeDirectory(const httplib::Request& request, httplib::Response& response,
                                    const std::string& lexical, RequestContext* context) {
  std::string index = (lexical == "/" ? "" : lexical) + "/index.html";
  ResolvedPath resolved = ResolvePath(config_.root_real, index);
  if (resolved.kind != PathKind::kFile) {
    Refuse(response, 403);  // no index page, and folders are never listed
    return;
  }
  if (!Permit(resolved.relative, request, response, context)) return;
  if (HasHiddenSegment(resolved.relative) || IsPluginName(resolved.relative) ||
      config_.private_files.count(resolved.real) > 0) {
    Refuse(response, 403);
    return;
  }
  ServeFile(request, response, resolved);
}

void RequestHandler::ServeFile(const httplib::Request& request, httplib::Response& response,
                               const ResolvedPath& resolved) {
  if (request.method == "POST") {  // files are only read
    Refuse(response, 405);
    response.set_header("Allow", "GET, HEAD");
    return;
  }
  if (!ServeStaticFile(request, response, resolved.real, resolved.info, &files_)) {
    Refuse(response, 403);
  }
}

void RequestHandler::RunPlugin(const httplib::Request& request, httplib::Response& response,
                               const std::string& body, const std::string& lexical,
                               const std::string& real, RequestContext* context) {
  std::string error;
  bool fresh_failure = false;
  std::shared_ptr<const TvxLibrary> library = plugins_->Get(real, &error, &fresh_failure);
  if (!library) {
    if (fresh_failure) LogError("%s: not a loadable plug-in: %s", real.c_str(), error.c_str());
    Refuse(response, 500);
    return;
  }

  CgiInputs inputs;
  if (!Utf8ToAnsi(lexical, &inputs.script_name_ansi) || !root_is_ansi_) {
    LogError("%s: the script path or document root cannot be written in Shift_JIS, which the "
             "plug-in needs to find its files",
             real.c_str());
    Refuse(response, 500);
    return;
  }
  inputs.document_root_ansi = document_root_ansi_;
  inputs.has_content_type = context->has_content_type;
  inputs.content_type = context->content_type;
  inputs.body_size = body.size();
  inputs.user = context->user;
  inputs.tls = config_.tls;

  TvxRequest call;
  for (const auto& variable : CgiVariables(request, inputs)) {
    if (!call.Set(variable.first, variable.second)) {
      LogError("%s: out of memory building the request variables", real.c_str());
      Refuse(response, 500);
      return;
    }
  }
  if (!call.SetBody(body)) {
    LogError("%s: out of memory copying a request body of %zu bytes", real.c_str(), body.size());
    Refuse(response, 500);
    return;
  }

  int length = call.Run(*library);
  const TextBuffer& out = call.response();
  if (length < 0 || length > out.length || (length > 0 && out.data == nullptr)) {
    LogError("%s: returned %d but its response holds %d bytes; answered 502", real.c_str(),
             length, out.length);
    Refuse(response, 502);
    return;
  }
  const char* bytes = out.data != nullptr ? out.data : "";
  PluginAnswer answer;
  if (!ParsePluginResponse(bytes, static_cast<size_t>(length), &answer, &error)) {
    LogError("%s: bad response (%s); answered 502", real.c_str(), error.c_str());
    Refuse(response, 502);
    return;
  }
  // A page is made for each request: a range of it would be a range of
  // another page than the next request's, so ranges are ignored.
  const_cast<httplib::Request&>(request).ranges.clear();
  response.status = answer.status;
  for (const auto& header : answer.headers) response.set_header(header.first, header.second);
  if (!answer.location.empty()) response.set_header("Location", EncodeLocation(answer.location));
  if (answer.has_body) {
    response.set_content(bytes + answer.body_offset,
                         static_cast<size_t>(length) - answer.body_offset, answer.content_type);
  } else {
    response.body.clear();
  }
}
