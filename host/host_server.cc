#include "host_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <iterator>

#include "bounded_server.h"
#include "error_log.h"

namespace {

// The pre-routing step and the handler of a request run one after the other
// on the same worker thread, so what the first learns reaches the second
// (and the access log) here.
struct ThreadRequest {
  RequestContext context;
  // Which request the context belongs to, so that a request refused before
  // routing never logs the user of an earlier one.
  std::string remote_addr;
  int remote_port = -1;
  std::string target;
};

thread_local ThreadRequest t_request;

RequestContext* ContextFor(const httplib::Request& request) {
  if (t_request.remote_port != request.remote_port ||
      t_request.remote_addr != request.remote_addr || t_request.target != request.target) {
    t_request = ThreadRequest();
    t_request.remote_addr = request.remote_addr;
    t_request.remote_port = request.remote_port;
    t_request.target = request.target;
  }
  return &t_request.context;
}

const char* StatusText(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

// Why binding failed, found by trying the same bind on a socket of our own.
std::string BindFailure(const std::string& host, int port) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) return std::string("cannot resolve the address: ") + gai_strerror(rc);
  std::string reason = "unknown reason";
  for (struct addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      reason = strerror(errno);
      continue;
    }
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      reason = strerror(errno);
    } else {
      reason = "the address was busy a moment ago";
    }
    close(fd);
  }
  freeaddrinfo(found);
  return reason;
}

bool IsToken(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    bool ok = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
              (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int CheckFraming(const httplib::Headers& headers) {
  for (const auto& header : headers) {
    if (!IsToken(header.first)) return 400;
  }
  size_t lengths = headers.count("Content-Length");
  if (lengths > 1) return 400;
  if (lengths == 1) {
    const std::string& value = headers.find("Content-Length")->second;
    if (value.empty() || value.size() > 18 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
      return 400;
    }
  }
  auto codings = headers.equal_range("Transfer-Encoding");
  if (codings.first != codings.second) {
    if (lengths > 0) return 400;
    if (std::next(codings.first) != codings.second ||
        strcasecmp(codings.first->second.c_str(), "chunked") != 0) {
      return 501;
    }
  }
  return 0;
}

HostServer::HostServer(const HostOptions& options, RequestHandler* handler, AccessLog* log)
    : options_(options), handler_(handler), log_(log) {}

bool HostServer::Create(std::string* error) {
  if (!options_.tls_cert.empty()) {
    auto server = std::make_unique<httplib::SSLServer>(options_.tls_cert.c_str(),
                                                       options_.tls_key.c_str());
    if (!server->is_valid()) {
      *error = "cannot load the TLS certificate " + options_.tls_cert + " or key " +
               options_.tls_key + " (PEM files, key matching the certificate)";
      return false;
    }
    server_ = std::move(server);
  } else {
    server_ = std::make_unique<BoundedServer>();
  }
  Configure();
  return true;
}

void HostServer::Configure() {
  httplib::Server& server = *server_;
  int threads = options_.threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(static_cast<size_t>(options_.keep_alive));
  server.set_keep_alive_timeout(options_.timeout < 5 ? options_.timeout : 5);
  server.set_read_timeout(options_.timeout, 0);
  server.set_write_timeout(options_.timeout, 0);
  server.set_payload_max_length(options_.body_limit);
  server.set_socket_options([this](socket_t fd) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listen_fd_ = fd;
  });

  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    BoundedServer::HeadComplete();
    RequestContext* context = ContextFor(request);
    *context = RequestContext();
    // A body whose end could be read two ways is never read at all: the
    // answer closes the connection, so the rest is never taken for a request.
    int framing = CheckFraming(request.headers);
    if (framing != 0) {
      response.status = framing;
      response.set_header("Connection", "close");
      BoundedServer::CloseAfterAnswer();
      return httplib::Server::HandlerResponse::Handled;
    }
    // The handler needs the raw body. The library would parse a multipart
    // body itself (and refuse one it does not like) and would inflate a
    // compressed one without limit, so it is told of neither.
    httplib::Request& mutable_request = const_cast<httplib::Request&>(request);
    if (request.has_header("Content-Type")) {
      context->has_content_type = true;
      context->content_type = request.get_header_value("Content-Type");
      if (request.is_multipart_form_data()) mutable_request.headers.erase("Content-Type");
    }
    if (request.has_header("Content-Encoding")) {
      if (strcasecmp(request.get_header_value("Content-Encoding").c_str(), "identity") != 0) {
        context->encoded_body = true;
      }
      mutable_request.headers.erase("Content-Encoding");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  RequestHandler* handler = handler_;
  auto serve = [handler](const httplib::Request& request, httplib::Response& response) {
    handler->Serve(request, response, request.body, ContextFor(request));
  };
  server.Get(".*", serve);
  server.Post(".*", serve);  // a POST without a body
  size_t limit = options_.body_limit;
  server.Post(".*", [handler, limit](const httplib::Request& request,
                                     httplib::Response& response,
                                     const httplib::ContentReader& reader) {
    std::string body;
    bool too_large = false;
    size_t seen = 0;
    bool complete = reader([&](const char* data, size_t length) {
      // The library checks the limit against Content-Length only; a chunked
      // body is counted here. Past the limit the bytes are read and dropped,
      // so that the connection stays in step, up to 16 MiB more.
      seen += length;
      if (seen > limit) {
        if (!too_large) std::string().swap(body);
        too_large = true;
        return seen - limit <= 16u * 1024 * 1024;
      }
      body.append(data, length);
      return true;
    });
    if (too_large) {
      response.status = 413;
      response.set_header("Connection", "close");
      BoundedServer::CloseAfterAnswer();
      return;
    }
    // A body over the limit by its Content-Length (413) or shorter than
    // announced (400): the library has set the status. The plug-in never runs.
    if (!complete) return;
    handler->Serve(request, response, body, ContextFor(request));
  });
  auto not_allowed = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD, POST");
  };
  server.Put(".*", not_allowed);
  server.Patch(".*", not_allowed);
  server.Delete(".*", not_allowed);
  server.Options(".*", not_allowed);

  // Answers without a page of their own (404, 413, ...) get a short one.
  httplib::Server::HandlerWithResponse error_page = [](const httplib::Request&,
                                                       httplib::Response& response) {
    if (!response.body.empty() || response.content_length_ > 0) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    std::string title = std::to_string(response.status) + " " + StatusText(response.status);
    response.set_content("<!DOCTYPE html>\n<html><head><title>" + title +
                             "</title></head><body><h1>" + title + "</h1></body></html>\n",
                         "text/html; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  };
  server.set_error_handler(error_page);
  server.set_exception_handler(
      [](const httplib::Request& request, httplib::Response& response, std::exception_ptr) {
        LogError("%s %s: internal error while answering", request.method.c_str(),
                 request.path.c_str());
        response.status = 500;
      });

  AccessLog* log = log_;
  server.set_logger([log](const httplib::Request& request, const httplib::Response& response) {
    AccessLogEntry entry;
    entry.remote_addr = request.remote_addr;
    entry.user = ContextFor(request)->user;
    entry.time = time(nullptr);
    entry.method = request.method;
    entry.target = request.target;
    entry.version = request.version;
    entry.status = response.status;
    if (request.method != "HEAD" && response.status != 304) {
      entry.bytes = response.content_length_ > 0 ? response.content_length_ : response.body.size();
    }
    entry.referer = request.get_header_value("Referer");
    entry.user_agent = request.get_header_value("User-Agent");
    log->Write(entry);
    t_request = ThreadRequest();
  });
}

bool HostServer::Bind(std::string* error) {
  bool bound;
  if (options_.listen_port == 0) {
    port_ = server_->bind_to_any_port(options_.listen_host);
    bound = port_ > 0;
  } else {
    bound = server_->bind_to_port(options_.listen_host, options_.listen_port);
    port_ = options_.listen_port;
  }
  if (!bound) {
    *error = "cannot listen on " + options_.listen_host + ":" +
             std::to_string(options_.listen_port) + ": " +
             BindFailure(options_.listen_host, options_.listen_port);
    return false;
  }
  // The library listens with a backlog of 5, which drops connections under
  // load; listening again on the bound socket raises it.
  if (listen_fd_ >= 0) listen(listen_fd_, SOMAXCONN);
  return true;
}

std::string HostServer::Url() const {
  std::string host = options_.listen_host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(options_.tls_cert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_) + "/";
}

bool HostServer::Run() {
  if (stop_requested_) return true;
  bool ok = server_->listen_after_bind();
  return ok || stop_requested_;
}

void HostServer::Stop() {
  stop_requested_ = true;
  // The library's stop() may be called once per run: it closes the socket.
  if (server_ && server_->is_running() && !stop_sent_.exchange(true)) server_->stop();
}
