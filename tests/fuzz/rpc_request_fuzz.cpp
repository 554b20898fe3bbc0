// Any body as a call to the application server's object, handed to its request handler as an
// HTTP POST would be. Every body gets a JSON-RPC 2.0 answer, a result or an error, but a
// notification (a request without an id), which gets none; the server never crashes or hangs.
// A body that is JSON is never refused as not JSON, and one that is not JSON never gets a
// result. When a SetEmail delta is taken, its rows decode to what an independent JSON parser
// reads from it, and the rows written out again decode to the same rows.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_check.h"
#include "server/email_layout.h"
#include "server/email_params.h"
#include "server/rpc_message.h"
#include "server/server.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace zeb::server;

struct Scratch {
  std::string dir;
  std::unique_ptr<Server> server;

  Scratch() {
    std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    std::string pattern = base + "/zeb_fuzz_rpc_XXXXXX";
    dir = ::mkdtemp(pattern.data());
    ServerOptions options;
    options.port = 0;
    options.databasePath = dir + "/fuzz.db";
    server = std::make_unique<Server>(options);
    server->start();
  }
  ~Scratch() {
    server.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
};

// The depth of the deepest array or object, counted by brackets outside strings.
// Whether "text" holds an exponent of 20 digits or more: the server's reader refuses such a
// number as out of range whatever its mantissa, as JSON lets a reader limit its numbers.
bool longExponent(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != 'e' && text[i] != 'E') continue;
    std::size_t d = i + 1;
    if (d < text.size() && (text[d] == '+' || text[d] == '-')) ++d;
    std::size_t digits = 0;
    while (d + digits < text.size() && text[d + digits] >= '0' && text[d + digits] <= '9') ++digits;
    if (digits >= 20) return true;
  }
  return false;
}

int nesting(std::string_view text) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// The rows of a batch as JSON values: [op, old, row] per change, as an independent parser reads
// them from a delta (columns in any order) and as the decoder answered them.
json changesOf(const json& delta) {
  std::vector<std::size_t> order;  // source index of each column
  for (const ColumnDef& def : kColumns) {
    const json& columns = delta.at("columns");
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].at("name") == def.name) order.push_back(i);
    }
  }
  auto row = [&](const json& values) {
    json out = json::array();
    for (std::size_t c = 0; c < kColumnCount; ++c) {
      const json& v = values.at(order[c]);
      out.push_back(kColumns[c].isText ? v : json(v.get<double>()));
    }
    return out;
  };
  json out = json::array();
  for (const json& change : delta.at("changes")) {
    std::string op = change.at("op");
    out.push_back({op, op == "insert" ? json() : row(change.at("old")),
                   op == "delete" ? json() : row(change.at("row"))});
  }
  return out;
}

json rowOf(const EmailRow& row) {
  json out = json::array();
  for (std::size_t c = 0; c < kTextColumnCount; ++c) out.push_back(std::string(row.texts[c]));
  out.push_back(row.volume);
  out.push_back(row.count);
  return out;
}

json changesOf(const EmailBatch& batch) {
  json out = json::array();
  for (const EmailChange& change : batch.changes) {
    const char* op = change.op == ChangeOp::Insert   ? "insert"
                     : change.op == ChangeOp::Update ? "update"
                                                     : "delete";
    out.push_back({op, change.op == ChangeOp::Insert ? json() : rowOf(change.old),
                   change.op == ChangeOp::Delete ? json() : rowOf(change.row)});
  }
  return out;
}

// The batch written out again as a delta, in the cdsDados column order.
std::string encode(const EmailBatch& batch) {
  json columns = json::array();
  for (const ColumnDef& def : kColumns) {
    columns.push_back({{"name", def.name}, {"type", def.isText ? "string" : "double"}});
  }
  json changes = json::array();
  for (const json& c : changesOf(batch)) {
    json change = {{"op", c[0]}};
    if (!c[1].is_null()) change["old"] = c[1];
    if (!c[2].is_null()) change["row"] = c[2];
    changes.push_back(change);
  }
  return json::array({json{{"columns", columns}, {"changes", changes}}}).dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  static const std::string session = "0123456789abcdef0123456789abcdef";
  std::string body(reinterpret_cast<const char*>(data), size);

  Server::Answer answer = scratch.server->post(kObjectName, "application/json", &session, body);
  std::string context =
      "\nbody: " + body.substr(0, 400) + "\nanswer: " + answer.body.substr(0, 400);

  // An independent reading of the body. That parser stops at a number too large for a double,
  // which tells nothing of the rest of the text: such a body is not judged. It also stops at a
  // NUL byte, which JSON allows nowhere.
  bool isJson = true;
  json request;
  try {
    request = json::parse(body);
  } catch (const json::out_of_range&) {
    return 0;
  } catch (const json::exception&) {
    isJson = false;
  }
  if (isJson && longExponent(body)) return 0;
  if (body.find('\0') != std::string::npos) isJson = false;

  if (answer.status == 204) {
    // A notification: a well-formed request without an id is carried out and answered nothing.
    FUZZ_CHECK(answer.body.empty(), "an answer of 204 with a body" + context);
    FUZZ_CHECK(isJson, "a body that is not JSON was taken as a notification" + context);
    FUZZ_CHECK(request.is_object() && !request.contains("id") &&
                   request.value("jsonrpc", "") == "2.0" && request.contains("method") &&
                   request["method"].is_string(),
               "a body that is no notification was answered nothing" + context);
    return 0;
  }
  json reply;
  try {
    reply = json::parse(answer.body);
  } catch (const json::exception& e) {
    FUZZ_CHECK(false, std::string("the answer is not JSON: ") + e.what() + context);
  }
  FUZZ_CHECK(reply.is_object() && reply.value("jsonrpc", "") == "2.0" && reply.contains("id"),
             "the answer is no JSON-RPC 2.0 response" + context);
  bool isResult = reply.contains("result");
  bool isError = reply.contains("error");
  FUZZ_CHECK(isResult != isError, "the answer must hold a result or an error" + context);
  int code = 0;
  if (isError) {
    const json& error = reply["error"];
    FUZZ_CHECK(error.is_object() && error.contains("code") && error["code"].is_number_integer() &&
                   error.contains("message") && error["message"].is_string() &&
                   !error["message"].get<std::string>().empty(),
               "the error lacks a code or a message" + context);
    code = error["code"];
    FUZZ_CHECK(
        answer.status ==
            (code == kParseError || code == kInvalidRequest || code == kNoSession ? 400 : 200),
        "HTTP status " + std::to_string(answer.status) + " for code " + std::to_string(code) +
            context);
  } else {
    FUZZ_CHECK(answer.status == 200,
               "a result with HTTP status " + std::to_string(answer.status) + context);
  }

  FUZZ_CHECK(isJson || !isResult, "a body that is not JSON got a result" + context);
  FUZZ_CHECK(!isJson || code != kParseError || nesting(body) > 64,
             "a body that is JSON was refused as not JSON" + context);

  if (!isResult || !request.is_object() || request.value("method", "") != "SetEmail") return 0;
  // The delta was taken: decode it as the server did, and compare.
  RpcRequest call;
  parseRequest(body, call);
  EmailBatch batch;
  decodeSetEmailParams(call.params, batch);
  json decoded = changesOf(batch);
  json independent = changesOf(request.at("params").at(0));
  FUZZ_CHECK(decoded == independent,
             "decoded: " + decoded.dump() + "\nexpected: " + independent.dump() + context);

  std::string again = encode(batch);
  EmailBatch second;
  decodeSetEmailParams(again, second);
  FUZZ_CHECK(changesOf(second) == decoded,
             "written out again and decoded: " + changesOf(second).dump() + context);
  return 0;
}
