// The host's settings and the services that read them: the branch code, the address of the
// application server and the content filters that an import leaves out.
#pragma once

#include <string>
#include <vector>

#include "platform/net/net_security.h"

namespace zeb::host {

struct HostSettings {
  std::string branch = "0001";           // the current branch code, 1 to 4 characters
  std::string serverHost = "127.0.0.1";  // the application server's host name or address
  int serverPort = 18000;                // its port, 1 to 65535
  // The content filters of the mail server, "HOST:PORT" each (the host in brackets when it
  // holds ":"): deliveries to them are hand-overs, not traffic. None by default. The import
  // reads them at the start of every parse. (The initializer lets hosts and tests go on
  // writing settings as {branch, host, port}.)
  std::vector<std::string> contentFilters = {};
  // How the connection to the server is secured and authorised (TLS, the token).
  platform::net::NetSecurity serverSecurity = {};
  bool operator==(const HostSettings&) const = default;
};

// Installs the settings that the services below answer (a host fills them from its command
// line or a settings file). Invalid settings raise Exception naming the field and value, and
// the installed ones stay. Until a host installs any, the defaults above apply.
void setHostSettings(const HostSettings& settings);
const HostSettings& hostSettings();

class Brenmor {
 public:
  // The current branch code (up to 4 characters).
  static const std::string& FiliProc() { return hostSettings().branch; }
  // The application server's host.
  static const std::string& WebURL() { return hostSettings().serverHost; }
  // The application server's port.
  static int WebPort() { return hostSettings().serverPort; }
};

}  // namespace zeb::host
