// JSON-RPC 2.0 messages as this server reads and writes them: the request envelope, read in
// place without building a document, and the answer bodies.
#pragma once

#include <string>
#include <string_view>

#include "platform/core/exceptions.h"

namespace zeb::server {

// The error codes that the server answers.
enum RpcCode : int {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
  kServerFailure = -32000,
  kNoSession = -32001,
  kUnauthorized = -32002,
};

// A call that fails with a JSON-RPC error code and a message for the caller.
class RpcError : public platform::Exception {
 public:
  RpcError(int code, const std::string& message) : Exception(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

struct RpcRequest {
  std::string_view id = "null";  // the id's JSON text, answered back as it came
  bool hasId = false;            // false: a notification, which gets no answer
  std::string method;
  std::string_view params = "[]";  // the params' JSON text (an array); "[]" when absent
  bool paramsRead = false;         // read in place already (params_in_place.h)
};

// Reads the envelope of one call into "request", whose views then point into "body".
// Members other than jsonrpc, id, method and params are ignored. Throws RpcError:
// kParseError when the envelope is not JSON; kInvalidRequest when it is not a request object;
// kInvalidParams when "params" is not an array. The text of "params" is only delimited, not
// checked: the method's decoder reads it. "request.id" holds the id whenever one could be
// read, so that errors can answer it.
void parseRequest(std::string_view body, RpcRequest& request);

// Throws RpcError(kParseError) unless "body" is well-formed JSON throughout. A call refused for
// another reason is checked with this first, so that a body that is not JSON is always
// reported as such, wherever the fault lies.
void checkWellFormed(std::string_view body);

// Answer bodies. "id" is JSON text (a number, a string or null). A message that quotes bytes of
// the request which are not UTF-8 has each of them as U+FFFD, so that the body is always JSON.
std::string resultBody(std::string_view id, std::string_view resultJson);
std::string errorBody(std::string_view id, int code, std::string_view message);

// "text" as a JSON string, quotes included.
std::string jsonQuoted(std::string_view text);

}  // namespace zeb::server
