#include "tls_context.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "temp_folder.h"

namespace {

// A self-signed certificate for CN=`name` with a new key ("rsa" or "ec"),
// written as PEM to `cert` and `key`.
bool MakePair(const std::string& name, const std::string& kind, const std::string& cert,
              const std::string& key) {
  EVP_PKEY* pkey = kind == "rsa" ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256");
  X509* x509 = X509_new();
  bool ok = pkey != nullptr && x509 != nullptr;
  if (ok) {
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_gmtime_adj(X509_getm_notBefore(x509), -60);
    X509_gmtime_adj(X509_getm_notAfter(x509), 24 * 3600);
    X509_NAME* subject = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x509, subject);
    X509_set_pubkey(x509, pkey);
    ok = X509_sign(x509, pkey, EVP_sha256()) > 0;
  }
  FILE* cert_file = ok ? fopen(cert.c_str(), "w") : nullptr;
  FILE* key_file = ok ? fopen(key.c_str(), "w") : nullptr;
  ok = cert_file != nullptr && key_file != nullptr && PEM_write_X509(cert_file, x509) == 1 &&
       PEM_write_PrivateKey(key_file, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (cert_file != nullptr) fclose(cert_file);
  if (key_file != nullptr) fclose(key_file);
  X509_free(x509);
  EVP_PKEY_free(pkey);
  return ok;
}

// What a client asks for.
struct Client {
  int min_version = TLS1_2_VERSION;
  int max_version = TLS1_3_VERSION;
  const char* ciphers = nullptr;  // TLS 1.2 and below; nullptr: OpenSSL's
  const char* groups = nullptr;   // nullptr: OpenSSL's
  const char* alpn = nullptr;     // comma-separated; nullptr: no ALPN
};

// What came of a handshake.
struct Outcome {
  bool ok = false;
  std::string version, cipher, group, alpn, server_name;
  bool reused = false;
  long ticket_lifetime = -1;
};

using ContextPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using SessionPtr = std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>;

ContextPtr ClientContext(const Client& c) {
  ContextPtr context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  // Old protocols and ciphers offered on purpose: the server must refuse them.
  SSL_CTX_set_security_level(context.get(), 0);
  SSL_CTX_set_min_proto_version(context.get(), c.min_version);
  SSL_CTX_set_max_proto_version(context.get(), c.max_version);
  if (c.ciphers != nullptr) SSL_CTX_set_cipher_list(context.get(), c.ciphers);
  if (c.groups != nullptr) SSL_CTX_set1_groups_list(context.get(), c.groups);
  if (c.alpn != nullptr) {
    std::string wire;
    std::string list = c.alpn;
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      if (comma == std::string::npos) comma = list.size();
      wire += static_cast<char>(comma - start);
      wire += list.substr(start, comma - start);
      start = comma + 1;
    }
    SSL_CTX_set_alpn_protos(context.get(), reinterpret_cast<const unsigned char*>(wire.data()),
                            static_cast<unsigned>(wire.size()));
  }
  return context;
}

// A handshake in memory between a client of `client` and `server` (taken
// over), resuming `resume` when given; *session gets the client's session
// afterwards, with its ticket.
Outcome Handshake(SSL_CTX* client, SSL* server, SSL_SESSION* resume = nullptr,
                  SessionPtr* session = nullptr) {
  Outcome outcome;
  SSL* ssl = SSL_new(client);
  BIO* client_end = nullptr;
  BIO* server_end = nullptr;
  BIO_new_bio_pair(&client_end, 0, &server_end, 0);
  SSL_set_bio(ssl, client_end, client_end);
  SSL_set_bio(server, server_end, server_end);
  SSL_set_connect_state(ssl);
  SSL_set_accept_state(server);
  if (resume != nullptr) SSL_set_session(ssl, resume);
  bool client_done = false, server_done = false, failed = false;
  for (int round = 0; round < 20 && !(client_done && server_done) && !failed; ++round) {
    if (!client_done) {
      int result = SSL_do_handshake(ssl);
      client_done = result == 1;
      failed = result <= 0 && SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ;
    }
    if (!server_done && !failed) {
      int result = SSL_do_handshake(server);
      server_done = result == 1;
      failed = result <= 0 && SSL_get_error(server, result) != SSL_ERROR_WANT_READ;
    }
  }
  outcome.ok = client_done && server_done;
  if (outcome.ok) {
    // TLS 1.3 tickets come after the handshake: a read takes them in.
    char byte;
    SSL_read(ssl, &byte, 1);
    outcome.version = SSL_get_version(ssl);
    outcome.cipher = SSL_get_cipher_name(ssl);
    const char* group = SSL_group_to_name(ssl, SSL_get_negotiated_group(ssl));
    outcome.group = group != nullptr ? group : "";
    const unsigned char* alpn = nullptr;
    unsigned alpn_length = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &alpn_length);
    outcome.alpn.assign(reinterpret_cast<const char*>(alpn), alpn_length);
    outcome.reused = SSL_session_reused(ssl) == 1;
    X509* peer = SSL_get1_peer_certificate(ssl);
    if (peer != nullptr) {
      char name[256] = "";
      X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, name, sizeof name);
      outcome.server_name = name;
      X509_free(peer);
    }
    SSL_SESSION* got = SSL_get1_session(ssl);
    if (got != nullptr) {
      outcome.ticket_lifetime = static_cast<long>(SSL_SESSION_get_ticket_lifetime_hint(got));
      if (session != nullptr) {
        *session = SessionPtr(got, SSL_SESSION_free);
      } else {
        SSL_SESSION_free(got);
      }
    }
  }
  // A client that ends without close_notify leaves its session unresumable.
  if (outcome.ok) SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_free(server);
  return outcome;
}

class TlsContextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempFolder();
    ASSERT_TRUE(MakePair("rsa-one", "rsa", Path("rsa.pem"), Path("rsa.key")));
    ASSERT_TRUE(MakePair("ec-two", "ec", Path("ec.pem"), Path("ec.key")));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Path(const std::string& name) { return dir_->path() + "/" + name; }
  static void Load(TlsContextSlot* slot) {
    TlsLoadError error;
    ASSERT_TRUE(slot->Load(&error)) << error.text;
  }

  static TempFolder* dir_;
};

TempFolder* TlsContextTest::dir_ = nullptr;

TEST_F(TlsContextTest, WhatIsNegotiatedAndWhatIsRefused) {
  TlsContextSlot slot(Path("rsa.pem"), Path("rsa.key"));
  ASSERT_NO_FATAL_FAILURE(Load(&slot));
  struct Case {
    const char* name;
    Client client;
    const char* cipher;  // nullptr: refused
    const char* alpn;
  } cases[] = {
      {"TLS 1.3", {}, "TLS_AES_128_GCM_SHA256", ""},
      {"TLS 1.2", {TLS1_2_VERSION, TLS1_2_VERSION}, "ECDHE-RSA-AES128-GCM-SHA256", ""},
      {"TLS 1.1", {TLS1_1_VERSION, TLS1_1_VERSION}, nullptr, ""},
      {"TLS 1.0", {TLS1_VERSION, TLS1_VERSION}, nullptr, ""},
      // Static RSA first in the client's list: the server's order gives ECDHE.
      {"static RSA first", {TLS1_2_VERSION, TLS1_2_VERSION,
                            "AES128-SHA256:ECDHE-RSA-AES128-GCM-SHA256"},
       "ECDHE-RSA-AES128-GCM-SHA256", ""},
      {"static RSA only", {TLS1_2_VERSION, TLS1_2_VERSION, "AES128-SHA256:AES256-GCM-SHA384"},
       nullptr, ""},
      {"CBC only", {TLS1_2_VERSION, TLS1_2_VERSION,
                    "ECDHE-RSA-AES128-SHA256:ECDHE-RSA-AES256-SHA:ECDHE-RSA-AES128-SHA"},
       nullptr, ""},
      {"finite-field DHE only", {TLS1_2_VERSION, TLS1_2_VERSION, "DHE-RSA-AES128-GCM-SHA256"},
       nullptr, ""},
      {"server's order", {TLS1_2_VERSION, TLS1_2_VERSION,
                          "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384"},
       "ECDHE-RSA-AES256-GCM-SHA384", ""},
      {"ALPN", {TLS1_2_VERSION, TLS1_3_VERSION, nullptr, nullptr, "h2,http/1.1"},
       "TLS_AES_128_GCM_SHA256", "http/1.1"},
      {"ALPN over TLS 1.2", {TLS1_2_VERSION, TLS1_2_VERSION, nullptr, nullptr, "http/1.1"},
       "ECDHE-RSA-AES128-GCM-SHA256", "http/1.1"},
      {"ALPN without http/1.1", {TLS1_2_VERSION, TLS1_3_VERSION, nullptr, nullptr, "h2"},
       nullptr, ""},
      {"no common group", {TLS1_2_VERSION, TLS1_3_VERSION, nullptr, "ffdhe2048"}, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ContextPtr client = ClientContext(c.client);
    Outcome outcome = Handshake(client.get(), slot.NewConnection());
    EXPECT_EQ(outcome.ok, c.cipher != nullptr) << outcome.cipher;
    if (c.cipher == nullptr) continue;
    EXPECT_EQ(outcome.cipher, c.cipher);
    EXPECT_EQ(outcome.alpn, c.alpn);
  }
}

TEST_F(TlsContextTest, X25519IsPreferredThenP256) {
  // An RSA certificate: in TLS 1.2 an ECDSA one would hold the client to its
  // own curve as well.
  TlsContextSlot slot(Path("rsa.pem"), Path("rsa.key"));
  ASSERT_NO_FATAL_FAILURE(Load(&slot));
  struct Case {
    const char* groups;
    const char* chosen;
  } cases[] = {
      {"P-384:P-256:X25519", "x25519"},
      {"P-384:P-256", "secp256r1"},
      {"P-384", "secp384r1"},
  };
  for (const Case& c : cases) {
    Client tls12{TLS1_2_VERSION, TLS1_2_VERSION, nullptr, c.groups};
    ContextPtr client = ClientContext(tls12);
    Outcome outcome = Handshake(client.get(), slot.NewConnection());
    ASSERT_TRUE(outcome.ok) << c.groups;
    EXPECT_EQ(outcome.group, c.chosen) << c.groups;
    EXPECT_EQ(outcome.cipher, "ECDHE-RSA-AES128-GCM-SHA256") << c.groups;
  }
}

TEST_F(TlsContextTest, SessionsResumeWithTicketsOfAtMostAnHour) {
  TlsContextSlot slot(Path("ec.pem"), Path("ec.key"));
  ASSERT_NO_FATAL_FAILURE(Load(&slot));
  for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version);
    ContextPtr client = ClientContext(Client{version, version});
    SessionPtr session(nullptr, SSL_SESSION_free);
    Outcome first = Handshake(client.get(), slot.NewConnection(), nullptr, &session);
    ASSERT_TRUE(first.ok);
    ASSERT_NE(session, nullptr);
    EXPECT_FALSE(first.reused);
    EXPECT_GT(first.ticket_lifetime, 0);
    EXPECT_LE(first.ticket_lifetime, 3600);
    EXPECT_TRUE(SSL_SESSION_has_ticket(session.get()));
    Outcome again = Handshake(client.get(), slot.NewConnection(), session.get());
    ASSERT_TRUE(again.ok);
    EXPECT_TRUE(again.reused);
  }
}

TEST_F(TlsContextTest, AReloadServesTheNewPairAndKeepsTheOldForConnectionsBegun) {
  TempFolder live;
  const std::string cert = live.path() + "/cert.pem", key = live.path() + "/key.pem";
  ASSERT_TRUE(MakePair("first", "ec", cert, key));
  TlsContextSlot slot(cert, key);
  ASSERT_NO_FATAL_FAILURE(Load(&slot));
  ContextPtr client = ClientContext(Client{});

  SSL* begun = slot.NewConnection();  // a connection accepted before the reload
  SessionPtr session(nullptr, SSL_SESSION_free);
  ASSERT_EQ(Handshake(client.get(), slot.NewConnection(), nullptr, &session).server_name, "first");

  ASSERT_TRUE(MakePair("second", "ec", cert, key));
  ASSERT_NO_FATAL_FAILURE(Load(&slot));
  EXPECT_EQ(Handshake(client.get(), slot.NewConnection()).server_name, "second");
  EXPECT_EQ(Handshake(client.get(), begun).server_name, "first");
  // The old pair's tickets do not open under the new one: a full handshake.
  Outcome resumed = Handshake(client.get(), slot.NewConnection(), session.get());
  ASSERT_TRUE(resumed.ok);
  EXPECT_FALSE(resumed.reused);
  EXPECT_EQ(resumed.server_name, "second");

  // Pairs that do not load leave the second in place.
  struct Bad {
    const char* what;
    std::string cert, key;
    const char* option;
    const char* says;
  } bad[] = {
      {"no such certificate", live.path() + "/none.pem", key, "--tls-cert", "cannot be loaded"},
      {"no such key", cert, live.path() + "/none.key", "--tls-key", "cannot be loaded"},
      {"a key of another kind", Path("rsa.pem"), key, "--tls-key", "does not belong to"},
      {"a key of another pair", Path("ec.pem"), key, "--tls-key", "does not belong to"},
      {"a key as the certificate", key, key, "--tls-cert", "cannot be loaded"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    TlsContextSlot other(b.cert, b.key);
    TlsLoadError failure;
    EXPECT_FALSE(other.Load(&failure));
    EXPECT_EQ(failure.option, b.option);
    EXPECT_NE(failure.text.find(b.says), std::string::npos) << failure.text;
    EXPECT_EQ(other.NewConnection(), nullptr);
  }
  // The live files half replaced: a new certificate beside the old key.
  ASSERT_TRUE(MakePair("third", "ec", cert, live.path() + "/third.key"));
  TlsLoadError error;
  EXPECT_FALSE(slot.Load(&error));
  EXPECT_NE(error.text.find("does not belong to " + cert), std::string::npos) << error.text;
  EXPECT_EQ(Handshake(client.get(), slot.NewConnection()).server_name, "second");
}

}  // namespace
