// How a connection to the application server is secured and authorised: TLS and the token.
#pragma once

#include <string>

namespace zeb::platform::net {

struct NetSecurity {
  bool tls = false;         // HTTPS instead of plain HTTP
  std::string caFile = {};  // PEM certificates to verify the server by; empty: the system's
  bool verifyPeer = true;   // false: any certificate is taken (for a test set-up only)
  // Sent as "Authorization: Bearer TOKEN" with every request; empty: none. Never shown in a
  // message.
  std::string token = {};
  bool operator==(const NetSecurity&) const = default;
};

// The token in the file "path": its first line without the line end and the blanks around it.
// Raises EInOutError ("reading the token file 'PATH' failed: REASON") when it cannot be read,
// and Exception naming it when it holds no token. The token itself never appears in a message.
std::string readTokenFile(const std::string& path);

}  // namespace zeb::platform::net
