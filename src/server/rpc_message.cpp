#include "server/rpc_message.h"

#include "platform/core/text.h"
#include "server/json_input.h"
#include "server/params_in_place.h"

namespace zeb::server {

namespace {

// The id's text as it stands, checked: a number, a text or null.
std::string_view idText(json::Input& input, json::value v, json::json_type type) {
  std::string_view token = v.raw_json_token();
  while (!token.empty() && (token.back() == ' ' || token.back() == '\n' ||
                            token.back() == '\r' || token.back() == '\t')) {
    token.remove_suffix(1);
  }
  if (type == json::json_type::string) {
    input.get(v.get_string());
  } else if (type == json::json_type::number) {
    input.get(v.get_double());
  } else if (!input.get(v.is_null())) {
    input.fail(simdjson::N_ATOM_ERROR);
  }
  return input.source(token);
}

void readRequest(std::string_view body, RpcRequest& request, const ParamsInPlace* inPlace) {
  request = RpcRequest{};
  // Shape faults are held back until the whole body has been read, so that a body that is not
  // JSON at all is always reported as such.
  int shapeCode = 0;
  std::string shapeMessage;
  auto shapeFault = [&](int code, std::string message) {
    if (shapeCode == 0) {
      shapeCode = code;
      shapeMessage = std::move(message);
    }
  };
  thread_local json::Input input;
  json::Input::Releaser releaser(input);
  try {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) {
      throw JsonSyntaxError(body.size(), "the body is empty");
    }
    json::document& doc = input.open(body);
    json::json_type kind = input.get(doc.type());
    if (kind != json::json_type::object) {
      input.skipDocument();
      throw RpcError(kInvalidRequest, kind == json::json_type::array
                                          ? "Batch requests are not accepted: send one call "
                                            "per request"
                                          : "A request must be a JSON object");
    }
    bool haveVersion = false, haveMethod = false;
    for (auto field : input.rootObject()) {
      std::string_view key = input.get(field.unescaped_key());
      json::value v = input.get(field.value());
      json::json_type type = input.get(v.type());
      if (key == "jsonrpc") {
        if (type == json::json_type::string) {
          haveVersion = input.text(v) == "2.0";
        } else {
          input.skip(v, 2);
        }
        if (!haveVersion) shapeFault(kInvalidRequest, "The request's \"jsonrpc\" must be \"2.0\"");
      } else if (key == "id") {
        if (type == json::json_type::string || type == json::json_type::number ||
            type == json::json_type::null) {
          request.id = idText(input, v, type);
          request.hasId = true;
        } else {
          input.skip(v, 2);
          shapeFault(kInvalidRequest, "The request's \"id\" must be a number, a text or null");
        }
      } else if (key == "method") {
        if (type == json::json_type::string) {
          request.method = input.text(v);
          haveMethod = true;
        } else {
          input.skip(v, 2);
          shapeFault(kInvalidRequest, "The request's \"method\" must be a text");
        }
      } else if (key == "params") {
        if (type == json::json_type::array && inPlace != nullptr && haveMethod &&
            request.method == inPlace->method) {
          std::string_view first = v.raw_json_token();
          inPlace->read(input, v);
          request.params = input.readThrough(first);
          request.paramsRead = true;
        } else if (type == json::json_type::array) {
          // Read properly by the method's decoder; reading it twice would double the cost of
          // every batch.
          request.params = input.structure(v);
          request.paramsRead = false;  // a later "params" stands
        } else {
          input.skip(v, 2);
          shapeFault(kInvalidParams,
                     type == json::json_type::object
                         ? "Named params are not accepted: \"params\" must be an array of values"
                         : "\"params\" must be an array of values");
        }
      } else {
        input.skip(v, 2);
      }
    }
    input.expectEnd();
    // What makes the body no request at all goes before a fault in its params: only a request
    // can be a notification, which is answered nothing.
    if (shapeCode != kInvalidRequest && !haveVersion) {
      shapeCode = 0;
      shapeFault(kInvalidRequest, "The request's \"jsonrpc\" must be \"2.0\"");
    }
    if (shapeCode != kInvalidRequest && !haveMethod) {
      shapeCode = 0;
      shapeFault(kInvalidRequest, "The request has no \"method\"");
    }
  } catch (const JsonSyntaxError& e) {
    request.id = "null";
    request.hasId = true;
    throw RpcError(kParseError, e.what());
  }
  if (shapeCode != 0) throw RpcError(shapeCode, shapeMessage);
}

}  // namespace

void parseRequest(std::string_view body, RpcRequest& request) {
  readRequest(body, request, nullptr);
}

void parseRequest(std::string_view body, RpcRequest& request, const ParamsInPlace& inPlace) {
  readRequest(body, request, &inPlace);
}

void checkWellFormed(std::string_view body) {
  thread_local json::Input input;
  json::Input::Releaser releaser(input);
  try {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) {
      throw JsonSyntaxError(body.size(), "the body is empty");
    }
    input.open(body);
    input.skipDocument();
  } catch (const JsonSyntaxError& e) {
    throw RpcError(kParseError, e.what());
  }
}

namespace {

// The length of the well-formed UTF-8 character at the start of "text"; 0 when there is none.
std::size_t characterLength(std::string_view text) {
  auto lead = static_cast<unsigned char>(text[0]);
  std::size_t n = lead < 0x80   ? 1
                  : lead < 0xC2 ? 0
                  : lead < 0xE0 ? 2
                  : lead < 0xF0 ? 3
                  : lead < 0xF5 ? 4
                                : 0;
  return n != 0 && n <= text.size() && platform::isValidUtf8(text.substr(0, n)) ? n : 0;
}

// A message may quote what the caller sent (a byte of a malformed body, an excerpt cut anywhere),
// and an answer that is not UTF-8 is no JSON: every byte that is not part of a character becomes
// U+FFFD.
std::string wellFormed(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = characterLength(text.substr(i));
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

}  // namespace

std::string jsonQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  platform::appendJsonString(out, text);
  return out;
}

std::string resultBody(std::string_view id, std::string_view resultJson) {
  std::string out = "{\"jsonrpc\": \"2.0\", \"id\": ";
  out += id;
  out += ", \"result\": ";
  out += resultJson;
  out += '}';
  return out;
}

std::string errorBody(std::string_view id, int code, std::string_view message) {
  std::string out = "{\"jsonrpc\": \"2.0\", \"id\": ";
  out += id;
  out += ", \"error\": {\"code\": " + std::to_string(code) + ", \"message\": ";
  out += jsonQuoted(platform::isValidUtf8(message) ? std::string(message) : wellFormed(message));
  out += "}}";
  return out;
}

}  // namespace zeb::server
