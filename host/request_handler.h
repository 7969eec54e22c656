// What the server does with one request once the HTTP library has read it:
// find the file below the document root, apply the access rules, then call
// the plug-in (a .tvx file) or send the file.
#ifndef HOST_REQUEST_HANDLER_H_
#define HOST_REQUEST_HANDLER_H_

#include <httplib.h>

#include <set>
#include <string>

#include "access_policy.h"
#include "path_resolver.h"
#include "plugin_cache.h"
#include "static_files.h"

// What the server learned about the request before the HTTP library read its
// body, and what the handler reports back to the access log.
struct RequestContext {
  bool has_content_type = false;
  std::string content_type;  // as sent, also for multipart bodies
  bool encoded_body = false; // a Content-Encoding other than identity
  std::string user;          // set after a successful Basic login
};

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
  RequestHandler(HandlerConfig config, const AccessPolicy* policy, PluginCache* plugins);

  // Answers a GET, HEAD or POST whose body (if any) is `body`.
  void Serve(const httplib::Request& request, httplib::Response& response,
             const std::string& body, RequestContext* context);

 private:
  RequestHandler(const RequestHandler&) = delete;
  RequestHandler& operator=(const RequestHandler&) = delete;

  bool Permit(const std::string& path, const httplib::Request& request,
              httplib::Response& response, RequestContext* context) const;
  void ServeDirectory(const httplib::Request& request, httplib::Response& response,
                      const std::string& lexical, RequestContext* context);
  void ServeFile(const httplib::Request& request, httplib::Response& response,
                 const ResolvedPath& resolved);
  void RunPlugin(const httplib::Request& request, httplib::Response& response,
                 const std::string& body, const std::string& lexical, const std::string& real,
                 RequestContext* context);

  const HandlerConfig config_;
  const AccessPolicy* policy_;
  PluginCache* plugins_;
  StaticFileCache files_;
  std::string document_root_ansi_;
  bool root_is_ansi_ = false;
};

// The location a plug-in wrote, made fit for an HTTP header: Shift_JIS text
// becomes UTF-8, and bytes from 0x80 up, spaces and control bytes are
// percent-encoded. Other characters (an existing %XY, '?', '&') stay.
std::string EncodeLocation(const std::string& location);

// A normalized path as a URL path: bytes outside the unreserved set and
// "/" are percent-encoded.
std::string EncodeUrlPath(const std::string& path);

#endif  // HOST_REQUEST_HANDLER_H_
