// The one reader of "HOST:PORT" texts, for the server's address, the listening address and the
// content filters alike.
#pragma once

#include <string>

namespace zeb::host {

// Reads "HOST:PORT", the host possibly in brackets ("[::1]:18000"), a port of "lowestPort" to
// 65535. Answers false, leaving "host" and "port" as they were, when "text" is not one.
bool splitHostPort(const std::string& text, std::string& host, int& port, int lowestPort = 1);

}  // namespace zeb::host
