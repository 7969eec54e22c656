// TLS as tvxhost serves it, on OpenSSL alone (no Asio here, so that the
// settings and the reload are tested without a socket):
//
//  - TLS 1.2 and 1.3 only;
//  - in TLS 1.2 only ECDHE key exchange with AEAD ciphers (AES-GCM and
//    ChaCha20-Poly1305), in the server's order, not the client's; every
//    TLS 1.3 suite is of that kind;
//  - key exchange groups X25519, then P-256, then P-384;
//  - ALPN http/1.1; a client that offers ALPN without it is refused with
//    no_application_protocol, since it would speak something else;
//  - session tickets that live kTicketLifetimeSeconds, sealed with keys that
//    rotate as often (TicketKeys);
//  - no renegotiation, no compression.
#ifndef HOST_TLS_CONTEXT_H_
#define HOST_TLS_CONTEXT_H_

#include <openssl/ssl.h>

#include <mutex>
#include <string>

extern const char kTls12Ciphers[];
extern const char kTls13Suites[];
extern const char kTlsGroups[];
constexpr int kTicketLifetimeSeconds = 3600;

// Why a certificate and key did not load: the option whose file is at
// fault ("--tls-cert" or "--tls-key") and a line that names the file and
// OpenSSL's reason.
struct TlsLoadError {
  std::string option;
  std::string text;
};

// A new server context with the settings above, the certificate chain from
// `cert_path` and the private key from `key_path` (PEM files). nullptr with
// *error when either cannot be loaded or the key does not belong to the
// certificate. The caller owns the context (SSL_CTX_free).
SSL_CTX* NewServerTlsContext(const std::string& cert_path, const std::string& key_path,
                             TlsLoadError* error);

// The server's TLS context as it stands: loaded at start and loaded again
// on SIGHUP, when a renewed certificate has been put in place of the old
// one. Each connection takes its SSL from the context that is current when
// it starts and keeps it, and with it that context, to its end; a context is
// freed with the last connection that uses it. Thread-safe.
class TlsContextSlot {
 public:
  TlsContextSlot(std::string cert_path, std::string key_path);
  ~TlsContextSlot();

  // Loads the certificate and key from their files and, when they load,
  // makes them current. False with *error when they do not: the context
  // that was current stays so (at start there is none).
  bool Load(TlsLoadError* error);

  // A new server-side SSL on the current context, owned by the caller.
  // nullptr when nothing was loaded or OpenSSL has no memory for it.
  SSL* NewConnection();

  const std::string& cert_path() const { return cert_path_; }
  const std::string& key_path() const { return key_path_; }

 private:
  TlsContextSlot(const TlsContextSlot&) = delete;
  TlsContextSlot& operator=(const TlsContextSlot&) = delete;

  const std::string cert_path_;
  const std::string key_path_;
  std::mutex mu_;
  SSL_CTX* current_ = nullptr;  // guarded by mu_
};

#endif  // HOST_TLS_CONTEXT_H_
