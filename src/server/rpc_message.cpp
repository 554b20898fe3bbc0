#include "server/rpc_message.h"

#include "platform/core/text.h"
#include "server/json_reader.h"

namespace zeb::server {

void parseRequest(std::string_view body, RpcRequest& request) {
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
  try {
    JsonReader reader(body);
    JsonKind kind = reader.peek();
    if (kind != JsonKind::Object) {
      if (kind == JsonKind::End) throw JsonSyntaxError(reader.offset(), "the body is empty");
      reader.skipValue();
      reader.expectEnd();
      throw RpcError(kInvalidRequest, kind == JsonKind::Array
                                          ? "Batch requests are not accepted: send one call "
                                            "per request"
                                          : "A request must be a JSON object");
    }
    reader.expect('{');
    bool haveVersion = false, haveMethod = false;
    std::string scratch;
    for (bool first = true; reader.nextMember('}', first); first = false) {
      std::string_view key = reader.readKey();
      if (key == "jsonrpc") {
        if (reader.peek() == JsonKind::String) {
          scratch.clear();
          haveVersion = reader.readString(scratch) == "2.0";
        } else {
          reader.skipValue();
        }
        if (!haveVersion) shapeFault(kInvalidRequest, "The request's \"jsonrpc\" must be \"2.0\"");
      } else if (key == "id") {
        JsonKind idKind = reader.peek();
        std::string_view text = reader.skipValue();
        if (idKind == JsonKind::String || idKind == JsonKind::Number || idKind == JsonKind::Null) {
          request.id = text;
          request.hasId = true;
        } else {
          shapeFault(kInvalidRequest, "The request's \"id\" must be a number, a text or null");
        }
      } else if (key == "method") {
        if (reader.peek() == JsonKind::String) {
          scratch.clear();
          request.method = reader.readString(scratch);
          haveMethod = true;
        } else {
          reader.skipValue();
          shapeFault(kInvalidRequest, "The request's \"method\" must be a text");
        }
      } else if (key == "params") {
        JsonKind paramsKind = reader.peek();
        // Read properly by the method's decoder; reading it twice would double the cost of
        // every batch.
        request.params = reader.skipStructure();
        if (paramsKind == JsonKind::Object) {
          shapeFault(kInvalidParams,
                     "Named params are not accepted: \"params\" must be an array of values");
        } else if (paramsKind != JsonKind::Array) {
          shapeFault(kInvalidParams, "\"params\" must be an array of values");
        }
      } else {
        reader.skipValue();
      }
    }
    reader.expectEnd();
    if (shapeCode == 0 && !haveVersion) {
      shapeFault(kInvalidRequest, "The request's \"jsonrpc\" must be \"2.0\"");
    }
    if (shapeCode == 0 && !haveMethod) {
      shapeFault(kInvalidRequest, "The request has no \"method\"");
    }
  } catch (const JsonSyntaxError& e) {
    request.id = "null";
    request.hasId = true;
    throw RpcError(kParseError, e.what());
  }
  if (shapeCode != 0) throw RpcError(shapeCode, shapeMessage);
}

void checkWellFormed(std::string_view body) {
  try {
    JsonReader reader(body);
    if (reader.peek() == JsonKind::End) throw JsonSyntaxError(0, "the body is empty");
    reader.skipValue();
    reader.expectEnd();
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
