#include "server/email_layout.h"

#include <string>

namespace zeb::server {

std::size_t columnIndex(std::string_view name) {
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    if (kColumns[i].name == name) return i;
  }
  return kColumnCount;
}

std::string_view columnsJson() {
  static const std::string json = [] {
    std::string out = "[";
    for (const ColumnDef& c : kColumns) {
      if (out.size() > 1) out += ", ";
      out += "{\"name\": \"";
      out += c.name;
      if (c.isText) {
        out += "\", \"type\": \"string\", \"size\": " + std::to_string(c.size) + "}";
      } else {
        out += "\", \"type\": \"double\"}";
      }
    }
    return out + "]";
  }();
  return json;
}

}  // namespace zeb::server
