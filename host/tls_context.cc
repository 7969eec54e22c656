#include "tls_context.h"

#include <string.h>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <utility>

#include "ticket_keys.h"

const char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
const char kTls13Suites[] =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
const char kTlsGroups[] = "X25519:P-256:P-384";

namespace {

std::string OpensslReason() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown reason";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// The context's ticket keys live in its ex_data and go with it.
void FreeTicketKeys(void*, void* keys, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<TicketKeys*>(keys);
}

int TicketKeysIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeTicketKeys);
  return index;
}

// Seals (seal = 1) or opens a session ticket with the context's keys, as
// SSL_CTX_set_tlsext_ticket_key_evp_cb asks: 1 done, 2 opened with an
// older key (a new ticket is issued), 0 no such key (a full handshake),
// -1 failure.
int TicketKeyCallback(SSL* ssl, unsigned char* name, unsigned char* iv, EVP_CIPHER_CTX* cipher,
                      EVP_MAC_CTX* mac, int seal) {
  auto* keys = static_cast<TicketKeys*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl),
                                                            TicketKeysIndex()));
  if (keys == nullptr) return -1;
  TicketKeys::Key key;
  int result = 1;
  if (seal) {
    if (!keys->ForSealing(&key)) return -1;
    memcpy(name, key.name, TicketKeys::kNameSize);
    if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1 ||
        EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.cipher, iv) != 1) {
      result = -1;
    }
  } else {
    TicketKeys::Found found = keys->ForOpening(name, &key);
    if (found == TicketKeys::Found::kNone) return 0;
    result = found == TicketKeys::Found::kPrevious ? 2 : 1;
    if (EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.cipher, iv) != 1) result = -1;
  }
  if (result != -1) {
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, key.mac, sizeof key.mac),
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end()};
    if (EVP_MAC_CTX_set_params(mac, params) != 1) result = -1;
  }
  OPENSSL_cleanse(&key, sizeof key);
  return result;
}

// Only http/1.1 is spoken.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* out_length,
               const unsigned char* offered, unsigned int offered_length, void*) {
  static const unsigned char kOurs[] = "\x08http/1.1";
  unsigned char* chosen = nullptr;
  unsigned char chosen_length = 0;
  if (SSL_select_next_proto(&chosen, &chosen_length, kOurs, sizeof kOurs - 1, offered,
                            offered_length) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  *out = chosen;
  *out_length = chosen_length;
  return SSL_TLSEXT_ERR_OK;
}

// The settings of the header, on a context that has no certificate yet.
bool Configure(SSL_CTX* context) {
  SSL_CTX_set_options(context, SSL_OP_ALL | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                   SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // Idle connections keep no read buffer of OpenSSL's.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1 ||
      SSL_CTX_set_ciphersuites(context, kTls13Suites) != 1 ||
      SSL_CTX_set1_groups_list(context, kTlsGroups) != 1) {
    return false;
  }
  SSL_CTX_set_alpn_select_cb(context, SelectAlpn, nullptr);
  // The session's lifetime is the ticket's lifetime hint and bounds its
  // resumption; the keys change as often.
  SSL_CTX_set_timeout(context, kTicketLifetimeSeconds);
  auto* keys = new TicketKeys(std::chrono::seconds(kTicketLifetimeSeconds));
  if (SSL_CTX_set_ex_data(context, TicketKeysIndex(), keys) != 1) {
    delete keys;
    return false;
  }
  return SSL_CTX_set_tlsext_ticket_key_evp_cb(context, TicketKeyCallback) == 1;
}

}  // namespace

SSL_CTX* NewServerTlsContext(const std::string& cert_path, const std::string& key_path,
                             TlsLoadError* error) {
  ERR_clear_error();
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (context == nullptr || !Configure(context)) {
    *error = {"--tls-cert", "cannot set up TLS: " + OpensslReason()};
    SSL_CTX_free(context);
    return nullptr;
  }
  if (SSL_CTX_use_certificate_chain_file(context, cert_path.c_str()) != 1) {
    *error = {"--tls-cert", "TLS certificate " + cert_path + " cannot be loaded: " +
                                OpensslReason()};
  } else if (SSL_CTX_use_PrivateKey_file(context, key_path.c_str(), SSL_FILETYPE_PEM) != 1) {
    // A key of the certificate's kind is compared with it as it loads.
    unsigned long code = ERR_peek_last_error();
    if (ERR_GET_LIB(code) == ERR_LIB_X509 && ERR_GET_REASON(code) == X509_R_KEY_VALUES_MISMATCH) {
      ERR_clear_error();
      *error = {"--tls-key", "TLS key " + key_path + " does not belong to " + cert_path};
    } else {
      *error = {"--tls-key", "TLS key " + key_path + " cannot be loaded: " + OpensslReason()};
    }
  } else if (SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    *error = {"--tls-key", "TLS key " + key_path + " does not belong to " + cert_path};
  } else {
    return context;
  }
  SSL_CTX_free(context);
  return nullptr;
}

TlsContextSlot::TlsContextSlot(std::string cert_path, std::string key_path)
    : cert_path_(std::move(cert_path)), key_path_(std::move(key_path)) {}

TlsContextSlot::~TlsContextSlot() { SSL_CTX_free(current_); }

bool TlsContextSlot::Load(TlsLoadError* error) {
  // Read outside the lock: connections keep starting on the old context.
  SSL_CTX* fresh = NewServerTlsContext(cert_path_, key_path_, error);
  if (fresh == nullptr) return false;
  SSL_CTX* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = current_;
    current_ = fresh;
  }
  // The connections on the old context hold references of their own.
  SSL_CTX_free(old);
  return true;
}

SSL* TlsContextSlot::NewConnection() {
  std::lock_guard<std::mutex> lock(mu_);
  if (current_ == nullptr) return nullptr;
  return SSL_new(current_);
}
