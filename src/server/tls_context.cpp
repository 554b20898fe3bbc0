#include "server/tls_context.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/core/exceptions.h"

namespace zeb::server {

namespace {

std::string opensslReason() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "no reason given" : text;
}

void checkReadable(const std::string& path, const char* what) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    throw platform::Exception(std::string("Cannot read the TLS ") + what + " " + path + ": " +
                              std::strerror(errno));
  }
  std::fclose(file);
}

}  // namespace

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile) {
  checkReadable(certFile, "certificate");
  checkReadable(keyFile, "key");
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) throw platform::Exception("Cannot set up TLS: " + opensslReason());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  auto fail = [this](const std::string& what) {
    std::string reason = opensslReason();
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    return platform::Exception(what + ": " + reason);
  };
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
    throw fail("Cannot load the TLS certificate " + certFile);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw fail("Cannot load the TLS key " + keyFile);
  }
  if (SSL_CTX_check_private_key(ctx_) != 1) {
    throw fail("The TLS key " + keyFile + " does not belong to the certificate " + certFile);
  }
}

TlsContext::~TlsContext() {
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

}  // namespace zeb::server
