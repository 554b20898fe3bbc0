// The application server a host runs inside itself when the operator names none: the server
// over a SQLite database, on a free loopback port.
#pragma once

#include <memory>
#include <string>

#include "host/brenmor.h"
#include "server/server.h"

namespace zeb::hosting {

// Starts the server over "databasePath" on a free loopback port and points "settings" at it.
// Raises Exception as Server::start() does (a database that cannot be opened). The caller stops
// it after the module's screens are gone, so that its stop waits for no idle connection; the
// stop puts every accepted batch into the database.
std::unique_ptr<server::Server> startEmbeddedServer(const std::string& databasePath,
                                                    host::HostSettings& settings);

}  // namespace zeb::hosting
