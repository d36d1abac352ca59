#include "stores/redis_connection.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/time.h>

#include <mutex>
#include <stdexcept>
#include <string>

#include "core/logger.h"
#include "stores/sigpipe_guard.h"

namespace ostrik_encrypted_index::internal::backing_store {
namespace {

using ostrik::EngineLogger;

bool IsIpLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string OpenSslReason(const char* fallback) {
  const unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : fallback;
}

struct SslCtxDeleter {
  void operator()(SSL_CTX* c) const noexcept { SSL_CTX_free(c); }
};
struct SslDeleter {
  void operator()(SSL* s) const noexcept { SSL_free(s); }
};

// Unverified TLS, through the library's own context: the caller gave nothing to verify against.
void StartUnverifiedTls(redisContext* c, const RedisConnectionSettings& s) {
  redisSSLOptions options{};
  options.cacert_filename = nullptr;
  options.capath = nullptr;
  options.cert_filename = s.cert ? s.cert->c_str() : nullptr;
  options.private_key_filename = s.key ? s.key->c_str() : nullptr;
  options.server_name = s.host.c_str();
  options.verify_mode = REDIS_SSL_VERIFY_NONE;
  redisSSLContextError error = REDIS_SSL_CTX_NONE;
  RedisSslContext ssl_context(redisCreateSSLContextWithOptions(&options, &error));
  if (!ssl_context) {
    throw std::runtime_error(std::string("Failed to create Redis SSL context: ") + redisSSLContextGetError(error));
  }
  if (redisInitiateSSLWithContext(c, ssl_context.get()) != REDIS_OK) {
    throw std::runtime_error("Failed to initiate SSL connection to Redis");
  }
  EngineLogger().warning("Redis TLS connection to " + s.host +
                         " is encrypted but the server's certificate is not verified: give ca_cert or ca_path "
                         "to verify it");
}

// Verified TLS: the chain must lead to the given CA and the certificate must name the host. The
// library's own context checks only the chain, so the context is built here.
void StartVerifiedTls(redisContext* c, const RedisConnectionSettings& s) {
  const std::string prefix = "Failed to create Redis SSL context: ";
  std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) throw std::runtime_error(prefix + OpenSslReason("Failed to create OpenSSL SSL_CTX"));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx.get(), s.ca_cert ? s.ca_cert->c_str() : nullptr,
                                    s.ca_path ? s.ca_path->c_str() : nullptr) != 1) {
    throw std::runtime_error(prefix + "Failed to load CA Certificate or CA Path: " + OpenSslReason("unknown"));
  }
  if (s.cert && SSL_CTX_use_certificate_chain_file(ctx.get(), s.cert->c_str()) != 1) {
    throw std::runtime_error(prefix + "Failed to load client certificate: " + OpenSslReason("unknown"));
  }
  if (s.key && SSL_CTX_use_PrivateKey_file(ctx.get(), s.key->c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error(prefix + "Failed to load private key: " + OpenSslReason("unknown"));
  }
  std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
  if (!ssl) throw std::runtime_error(prefix + OpenSslReason("Failed to create SSL object"));
  const bool ip = IsIpLiteral(s.host);
  bool named = false;
  if (ip) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), s.host.c_str()) == 1;
  } else {
    X509_VERIFY_PARAM_set_hostflags(SSL_get0_param(ssl.get()), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set1_host(ssl.get(), s.host.c_str()) == 1 && SSL_set_tlsext_host_name(ssl.get(), s.host.c_str()) == 1;
  }
  if (!named) throw std::runtime_error(prefix + "Failed to set server_name/SNI");
  if (redisInitiateSSL(c, ssl.get()) != REDIS_OK) {
    // On failure the SSL object stays ours.
    const long verify = SSL_get_verify_result(ssl.get());
    std::string reason = verify != X509_V_OK ? X509_verify_cert_error_string(verify) : std::string(c->errstr);
    if (reason.find("(null)") != std::string::npos) reason = "the server did not complete the TLS handshake";
    ERR_clear_error();
    throw std::runtime_error("Failed to initiate SSL connection to Redis: " + reason);
  }
  ssl.release();  // owned by the connection from here on
}

void StartTls(redisContext* c, const RedisConnectionSettings& s) {
  static std::once_flag once;
  std::call_once(once, [] { redisInitOpenSSL(); });
  // A peer that never answers the handshake must not block the caller for ever: the connect
  // timeout bounds it too, and commands go back to having none.
  const struct timeval handshake_timeout = {5, 0};
  redisSetTimeout(c, handshake_timeout);
  if (s.ca_cert || s.ca_path) {
    StartVerifiedTls(c, s);
  } else {
    StartUnverifiedTls(c, s);
  }
  const struct timeval no_timeout = {0, 0};
  redisSetTimeout(c, no_timeout);
}

}  // namespace

std::map<std::string, std::string> ParseRedisConnectionString(const std::string& text) {
  std::map<std::string, std::string> pairs;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t colon = text.find(':', pos);
    if (colon == std::string::npos) break;  // a final key without ':' is dropped
    std::string key = text.substr(pos, colon - pos);
    pos = colon + 1;
    const size_t comma = text.find(',', pos);
    if (comma == std::string::npos) {
      std::string value = text.substr(pos);
      if (!value.empty()) pairs[std::move(key)] = std::move(value);
      break;
    }
    pairs[std::move(key)] = text.substr(pos, comma - pos);
    pos = comma + 1;
  }
  return pairs;
}

RedisConnectionSettings ReadRedisConnectionSettings(const std::string& connection_string) {
  const auto pairs = ParseRedisConnectionString(connection_string);
  for (const char* required : {"host", "port", "db"}) {
    if (pairs.find(required) == pairs.end()) {
      throw std::runtime_error(std::string("Missing Redis key: '") + required + "'");
    }
  }
  const std::string& db_text = pairs.at("db");
  RedisConnectionSettings s;
  size_t consumed = 0;
  try {
    s.db = std::stoi(db_text, &consumed, 10);
  } catch (const std::invalid_argument&) {
    throw std::runtime_error("Invalid Redis DB value (not a number): " + db_text);
  } catch (const std::out_of_range&) {
    throw std::runtime_error("Invalid Redis DB value (out of range): " + db_text);
  }
  if (consumed < db_text.size()) throw std::runtime_error("Invalid Redis DB value: " + db_text);
  s.host = pairs.at("host");
  s.port = std::stoi(pairs.at("port"), nullptr, 10);
  auto ssl = pairs.find("ssl");
  s.tls = ssl != pairs.end() && (ssl->second == "true" || ssl->second == "1");
  auto optional = [&](const char* name) -> std::optional<std::string> {
    auto it = pairs.find(name);
    if (it == pairs.end()) return std::nullopt;
    return it->second;
  };
  s.ca_cert = optional("ca_cert");
  s.ca_path = optional("ca_path");
  s.cert = optional("cert");
  s.key = optional("key");
  return s;
}

RedisContext ConnectRedis(const RedisConnectionSettings& s) {
  // The TLS handshake, SELECT and PING all write to the socket.
  SigpipeGuard no_sigpipe;
  const struct timeval connect_timeout = {5, 0};
  RedisContext context(redisConnectWithTimeout(s.host.c_str(), s.port, connect_timeout));
  if (!context) throw std::runtime_error("Failed to connect to Redis: Could not allocate redis context");
  if (context->err) throw std::runtime_error(std::string("Failed to connect to Redis: ") + context->errstr);

  if (s.tls) {
    try {
      StartTls(context.get(), s);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("SSL configuration failed: ") + e.what());
    }
  }

  {
    RedisReply reply = TakeReply(redisCommand(context.get(), "SELECT %d", s.db));
    if (!reply || context->err) {
      throw std::runtime_error("Failed to select Redis database (db=" + std::to_string(s.db) +
                               "): " + (context->err ? context->errstr : "Unknown error"));
    }
    const bool ok = reply->type == REDIS_REPLY_STATUS && reply->str != nullptr && std::string(reply->str) == "OK";
    if (!ok) {
      throw std::runtime_error(std::string("Failed to select Redis database: unexpected reply: ") +
                               (reply->str != nullptr ? reply->str : "null"));
    }
  }
  {
    RedisReply reply = TakeReply(redisCommand(context.get(), "PING"));
    if (!reply) {
      EngineLogger().critical("PING command failed");
      throw std::runtime_error("Connection verification failed: PING command failed");
    }
    if (reply->type == REDIS_REPLY_ERROR) {
      const std::string text = std::string("PING command failed: ") + (reply->str != nullptr ? reply->str : "");
      EngineLogger().critical(text);
      throw std::runtime_error("Connection verification failed: " + text);
    }
  }
  return context;
}

}  // namespace ostrik_encrypted_index::internal::backing_store
