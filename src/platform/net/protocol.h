// What the module's connection and the application server agree on, written once for both: the
// remote object's name, where it is reached, the headers that a call carries, and the layout of
// the statistics rows (cdsDados) that they exchange. A change here changes both sides at once.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace zeb::platform::net::protocol {

// The remote object that the server offers and the module's connection names.
inline constexpr std::string_view kObjectName = "ZEB18000.rdmImpEmailInt";
// Objects live under this path: GET PREFIX+OBJECT describes the object, POST PREFIX+OBJECT
// carries one JSON-RPC 2.0 call.
inline constexpr std::string_view kPathPrefix = "/rpc/";
inline constexpr std::string_view kObjectPath = "/rpc/ZEB18000.rdmImpEmailInt";
static_assert(kObjectPath.substr(0, kPathPrefix.size()) == kPathPrefix &&
              kObjectPath.substr(kPathPrefix.size()) == kObjectName);
inline constexpr std::string_view kContentType = "application/json";

// Every call names its import session: 32 lower-case hex digits, new at each connect.
inline constexpr std::string_view kSessionHeader = "X-Zeb-Session";
inline constexpr std::size_t kSessionIdLength = 32;

// A server that holds a token wants "Authorization: Bearer TOKEN" on every request.
inline constexpr std::string_view kAuthorizationHeader = "Authorization";
inline constexpr std::string_view kBearerPrefix = "Bearer ";

// The statistics row (cdsDados): eleven columns in a fixed order, nine texts and two numbers.
enum Column : std::size_t {
  kCDFILIAL,
  kNMORIGEM,
  kNMDESTINO,
  kANETLEMAIL,
  kMEETLEMAIL,
  kDIETLEMAIL,
  kBIETLEMAIL,
  kSEETLEMAIL,
  kTRETLEMAIL,
  kVRVOLDADOS,
  kQTEMAIL,
};

inline constexpr std::size_t kColumnCount = 11;
inline constexpr std::size_t kTextColumnCount = 9;  // the texts come first, then the numbers

struct ColumnDef {
  std::string_view name;
  bool isText;  // a text of at most "size" characters; otherwise a floating-point number
  int size;     // texts: the width in characters; numbers: 0
};

inline constexpr std::array<ColumnDef, kColumnCount> kColumns = {{
    {"CDFILIAL", true, 4},
    {"NMORIGEM", true, 150},
    {"NMDESTINO", true, 150},
    {"ANETLEMAIL", true, 4},
    {"MEETLEMAIL", true, 4},
    {"DIETLEMAIL", true, 4},
    {"BIETLEMAIL", true, 6},
    {"SEETLEMAIL", true, 6},
    {"TRETLEMAIL", true, 6},
    {"VRVOLDADOS", false, 0},
    {"QTEMAIL", false, 0},
}};

}  // namespace zeb::platform::net::protocol
