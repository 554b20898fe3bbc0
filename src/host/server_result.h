// Checking what the application server answered.
#pragma once

#include <nlohmann/json.hpp>

namespace zeb::host {

// Takes the raw result of a server call, a JSON-RPC 2.0 response object, and answers its
// "result" member. A failed call raises EServerError, so no caller needs to test for failure:
// - an "error" member {"code": integer, "message": text} raises with that code and the
//   message "server error <code>: <message>";
// - an answer that is not a JSON-RPC 2.0 response (not an object, "jsonrpc" not "2.0", neither
//   or both of "result" and "error", an "error" without an integer code and a text message)
//   raises with code 0 and a message that quotes the answer (its first 200 characters).
// The flag and the integer are the call sites' arguments (true, 0); failures raise whatever
// they hold.
nlohmann::json CheckResultServ(const nlohmann::json& result, bool raise, int helpCtx);
// The same, taking the answer over instead of copying it (a data packet can be large).
nlohmann::json CheckResultServ(nlohmann::json&& result, bool raise, int helpCtx);

}  // namespace zeb::host
