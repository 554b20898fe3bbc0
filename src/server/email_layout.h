// The statistics row layout (cdsDados) that the server stores and exchanges with the module:
// eleven columns in a fixed order, nine texts and two numbers.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "platform/net/protocol.h"

namespace zeb::server {

// The layout and the object's name are the protocol's, shared with the module's connection.
using platform::net::protocol::Column;
using enum platform::net::protocol::Column;
using platform::net::protocol::ColumnDef;
using platform::net::protocol::kColumnCount;
using platform::net::protocol::kColumns;
using platform::net::protocol::kObjectName;
using platform::net::protocol::kTextColumnCount;

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
