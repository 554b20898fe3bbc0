// The one reader of "HOST:PORT" texts, for the server's address, the listening address and the
// content filters alike.
#pragma once

#include <string>

namespace zeb::host {

// Reads "HOST:PORT", the host possibly in brackets ("[::1]:18000"), a port of "lowestPort" to
// 65535. Answers false, leaving "host" and "port" as they were, when "text" is not one.
bool splitHostPort(const std::string& text, std::string& host, int& port, int lowestPort = 1);

// Reads an application server's address: "HOST:PORT", "http://HOST:PORT" or
// "https://HOST:PORT" (a closing "/" allowed); "tls" tells whether it named HTTPS (plain
// "HOST:PORT" leaves it false). Answers false, changing nothing, when "text" is none of these.
bool splitServerAddress(const std::string& text, std::string& host, int& port, bool& tls);

}  // namespace zeb::host
