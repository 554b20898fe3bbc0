// Reading a call's params where they stand in its body, while its envelope is read, so that the
// body of a SetEmail call (the bulk of an import's traffic) is parsed once rather than twice.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "server/email_params.h"
#include "server/json_input.h"
#include "server/rpc_message.h"

namespace zeb::server {

// The params of one method, read by "read" when the body names the method before its params, as
// clients write it; "read" is handed the params array as it is met.
struct ParamsInPlace {
  std::string_view method;
  std::function<void(json::Input& input, json::value params)> read;
};

// As parseRequest(body, request), but the params of "inPlace.method" are read by it when they
// come after the method ("request.paramsRead"). Whatever it throws, a fault of the envelope or
// one that "read" found, comes out as it is: the caller then reads the body again with
// parseRequest(body, request), so that the fault is reported as the checks order them.
void parseRequest(std::string_view body, RpcRequest& request, const ParamsInPlace& inPlace);

// decodeSetEmailParams() for the params that "input" has met in a text of "within" bytes (the
// request's body), with the same checks and messages. The views of "batch" point into the text
// that "input" reads.
void decodeSetEmailParams(json::Input& input, json::value params, std::size_t within,
                          EmailBatch& batch);

}  // namespace zeb::server
