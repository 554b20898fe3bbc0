#include "host/brenmor.h"

#include "host/host_port.h"
#include "platform/core/exceptions.h"
#include "platform/core/text.h"

namespace zeb::host {

namespace {
HostSettings& installed() {
  static HostSettings settings;
  return settings;
}
}  // namespace

void setHostSettings(const HostSettings& settings) {
  std::size_t branchLength = platform::utf8Length(settings.branch);
  if (branchLength < 1 || branchLength > 4 || !platform::isValidUtf8(settings.branch)) {
    throw platform::Exception("branch code '" + settings.branch + "' is not 1 to 4 characters");
  }
  if (settings.serverHost.empty()) throw platform::Exception("server host is empty");
  if (settings.serverPort < 1 || settings.serverPort > 65535) {
    throw platform::Exception("server port " + std::to_string(settings.serverPort) +
                              " is not between 1 and 65535");
  }
  for (const std::string& filter : settings.contentFilters) {
    std::string host;
    int port = 0;
    if (!splitHostPort(filter, host, port)) {
      throw platform::Exception("content filter '" + filter + "' is not HOST:PORT");
    }
  }
  installed() = settings;
}

const HostSettings& hostSettings() { return installed(); }

}  // namespace zeb::host
