// The statistics row layout (cdsDados) that the server stores and exchanges with the module:
// eleven columns in a fixed order, nine texts and two numbers.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace zeb::server {

// Column indexes in the cdsDados order.
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
  bool isText;
  int size;  // texts: the width in characters
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

// The name of the remote object that the server offers, and of its methods.
inline constexpr std::string_view kObjectName = "ZEB18000.rdmImpEmailInt";

// One statistics row. The views belong to whoever filled the row (a decoded request, a query
// cursor) and stay valid only as long as that source says.
struct EmailRow {
  std::array<std::string_view, kTextColumnCount> texts;
  double volume = 0;  // VRVOLDADOS: bytes
  double count = 0;   // QTEMAIL: messages
};

// The index of a column by exact name; kColumnCount when there is none.
std::size_t columnIndex(std::string_view name);

// The "columns" array of a data packet in the cdsDados layout, as JSON text.
std::string_view columnsJson();

}  // namespace zeb::server
