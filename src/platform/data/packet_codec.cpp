// Data packets: a table's layout and rows as JSON documents, read and written; and the delta
// as a document.
#include <cstring>
#include <limits>

#include "platform/data/record_set_impl.h"

namespace zeb::platform::data::internal {

json layoutJson(const std::vector<FieldDef>& fields) {
  json columns = json::array();
  for (const FieldDef& f : fields) {
    switch (f.type) {
      case FieldType::String:
        columns.push_back({{"name", f.name}, {"type", "string"}, {"size", f.size}});
        break;
      case FieldType::Integer:
        columns.push_back({{"name", f.name}, {"type", "integer"}});
        break;
      case FieldType::Double:
        columns.push_back({{"name", f.name}, {"type", "double"}});
        break;
    }
  }
  return columns;
}

}  // namespace zeb::platform::data::internal

namespace zeb::platform::data {

namespace {

std::string shortDump(const json& value) {
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

}  // namespace

json RecordSet::Impl::rowJson(const std::uint32_t* cells) const {
  json values = json::array();
  for (const Column& c : columns) {
    switch (c.type) {
      case FieldType::String:
        values.push_back(pool.text(cells[c.word]));
        break;
      case FieldType::Integer:
        values.push_back(static_cast<std::int32_t>(cells[c.word]));
        break;
      case FieldType::Double: {
        double v;
        std::memcpy(&v, cells + c.word, sizeof v);
        values.push_back(v);
        break;
      }
    }
  }
  return values;
}

// --- Change log and data packets ------------------------------------------------------------

nlohmann::json RecordSet::columnsJson() const { return layoutJson(impl_->fields); }

nlohmann::json RecordSet::packet() const {
  const Impl& d = *impl_;
  d.requireActive();
  json rows = json::array();
  for (std::uint32_t id = d.rows.head; id != kNone; id = d.rows.next(id)) {
    rows.push_back(d.rowJson(d.rows.row(id)));
  }
  return json{{"columns", columnsJson()}, {"rows", std::move(rows)}};
}

void RecordSet::loadPacket(const nlohmann::json& packet) {
  Impl& d = *impl_;
  const std::string where = "data packet for table " + d.name;
  if (!packet.is_object() || !packet.contains("columns") || !packet["columns"].is_array()) {
    throw Exception(where + " has no column list");
  }
  if (!packet.contains("rows") || !packet["rows"].is_array()) {
    throw Exception(where + " has no row list");
  }
  const json& packetColumns = packet["columns"];
  std::vector<std::size_t> source(d.columns.size());
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    bool found = false;
    for (std::size_t j = 0; j < packetColumns.size() && !found; ++j) {
      const json& c = packetColumns[j];
      if (!c.is_object() || !c.contains("name") || !c["name"].is_string()) {
        throw Exception(where + " has a column without a name");
      }
      if (equalsIgnoreAsciiCase(c["name"].get_ref<const std::string&>(), d.fields[i].name)) {
        source[i] = j;
        found = true;
      }
    }
    if (!found) throw Exception(where + " lacks column " + d.fields[i].name);
  }

  // Built aside and swapped in whole, so that a refused packet leaves the content as it was.
  StringPool pool;
  Rows rows(d.cellWords);
  std::vector<std::uint32_t> cells(d.cellWords);
  const json& packetRows = packet["rows"];
  for (std::size_t r = 0; r < packetRows.size(); ++r) {
    const json& values = packetRows[r];
    if (!values.is_array() || values.size() != packetColumns.size()) {
      throw Exception(where + ": row index " + std::to_string(r) + " has " +
                      (values.is_array() ? std::to_string(values.size()) : "no list of") +
                      " values, expected " + std::to_string(packetColumns.size()));
    }
    for (std::size_t i = 0; i < d.columns.size(); ++i) {
      const Column& c = d.columns[i];
      const json& v = values[source[i]];
      auto refuse = [&](const std::string& problem) {
        throw Exception(where + ": row index " + std::to_string(r) + ", column " +
                        d.fields[i].name + ": " + problem);
      };
      switch (c.type) {
        case FieldType::String: {
          if (!v.is_string()) refuse("expected a string, got " + shortDump(v));
          std::string_view s = v.get_ref<const std::string&>();
          if (s.size() > c.width) s = utf8Prefix(s, c.width);
          cells[c.word] = pool.intern(s);
          break;
        }
        case FieldType::Integer: {
          if (!v.is_number_integer()) refuse("expected an integer, got " + shortDump(v));
          bool fits = v.is_number_unsigned()
                          ? v.get<std::uint64_t>() <= std::numeric_limits<std::int32_t>::max()
                          : (v.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
                             v.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max());
          if (!fits) refuse(shortDump(v) + " is out of the 32-bit integer range");
          cells[c.word] =
              static_cast<std::uint32_t>(static_cast<std::int32_t>(v.get<std::int64_t>()));
          break;
        }
        case FieldType::Double: {
          if (!v.is_number()) refuse("expected a number, got " + shortDump(v));
          double x = v.get<double>();
          std::memcpy(cells.data() + c.word, &x, sizeof x);
          break;
        }
      }
    }
    rows.add(cells.data(), d.name);
  }
  d.active = true;
  d.resetContent(std::move(pool), std::move(rows));
}

nlohmann::json RecordSet::delta() const {
  const Impl& d = *impl_;
  json changes = json::array();
  const std::uint32_t* base = d.baseCells.data();
  for (std::uint32_t id : d.changed) {
    bool live = d.rows.isLive(id);
    if (id >= d.baseLimit) {
      if (live) changes.push_back({{"op", "insert"}, {"row", d.rowJson(d.rows.row(id))}});
      continue;
    }
    const json old = d.rowJson(base);
    base += d.cellWords;
    if (live) {
      changes.push_back({{"op", "update"}, {"old", old}, {"row", d.rowJson(d.rows.row(id))}});
    } else {
      changes.push_back({{"op", "delete"}, {"old", old}});
    }
  }
  return json{{"columns", columnsJson()}, {"changes", std::move(changes)}};
}

}  // namespace zeb::platform::data
