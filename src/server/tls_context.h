// The server's TLS certificate and key, as the HTTP side (http_server.h) uses them.
#pragma once

#include <openssl/ssl.h>

#include <string>

namespace zeb::server {

// A server certificate and its key, loaded once. Throws platform::Exception naming the file
// and OpenSSL's reason when either cannot be loaded or they do not belong together.
class TlsContext {
 public:
  TlsContext(const std::string& certFile, const std::string& keyFile);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  SSL_CTX* get() const { return ctx_; }

 private:
  SSL_CTX* ctx_ = nullptr;
};

}  // namespace zeb::server
