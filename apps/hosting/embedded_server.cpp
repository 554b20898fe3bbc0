#include "hosting/embedded_server.h"

namespace zeb::hosting {

std::unique_ptr<server::Server> startEmbeddedServer(const std::string& databasePath,
                                                    host::HostSettings& settings) {
  server::ServerOptions options;
  options.port = 0;
  options.databasePath = databasePath;
  auto embedded = std::make_unique<server::Server>(options);
  embedded->start();
  settings.serverHost = embedded->host();
  settings.serverPort = embedded->port();
  return embedded;
}

}  // namespace zeb::hosting
