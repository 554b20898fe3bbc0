// Any text as a data packet loaded into a client record set, followed by edits. A packet is
// either refused, leaving the table as it was, or loaded whole: every text valid UTF-8 within
// its column's width, and the table's own packet loads back to the same packet. After the edits
// the delta written straight as text equals the delta built as a document, and applying it to
// the loaded rows gives the rows the table holds.
//
// Input: the edits, one byte each, up to the first "{", then the packet. Tables with the
// statistics layout and with integer columns take turns, by the input's length.
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/data/record_set.h"

namespace {

using nlohmann::json;
using namespace zeb::platform::data;

std::vector<FieldDef> statisticsLayout() {
  return {{"CDFILIAL", FieldType::String, 4},    {"NMORIGEM", FieldType::String, 150},
          {"NMDESTINO", FieldType::String, 150}, {"ANETLEMAIL", FieldType::String, 4},
          {"MEETLEMAIL", FieldType::String, 4},  {"DIETLEMAIL", FieldType::String, 4},
          {"BIETLEMAIL", FieldType::String, 6},  {"SEETLEMAIL", FieldType::String, 6},
          {"TRETLEMAIL", FieldType::String, 6},  {"VRVOLDADOS", FieldType::Double, 0},
          {"QTEMAIL", FieldType::Double, 0}};
}

std::vector<FieldDef> smallLayout() {
  return {{"A", FieldType::String, 3}, {"N", FieldType::Integer, 0}, {"B", FieldType::String, 1}};
}

// Rows as sorted JSON texts: the order of rows with equal values cannot be told apart in a
// delta, so the rows are compared as a multiset.
std::vector<std::string> rowSet(const json& rows) {
  std::vector<std::string> out;
  for (const json& row : rows) out.push_back(row.dump());
  std::sort(out.begin(), out.end());
  return out;
}

// Rows equal as values (an integer and a double of the same value are equal).
bool sameRow(const json& a, const json& b) { return a == b; }

std::string join(const std::vector<std::string>& rows) {
  std::string out;
  for (const std::string& r : rows) out += r + "\n";
  return out;
}

void edit(RecordSet& table, std::uint8_t op, int step) {
  const auto& fields = table.fields();
  if (op == 0xFF) {
    table.mergeChangeLog();
    return;
  }
  std::size_t rows = table.recordCount();
  auto field = static_cast<int>((op >> 2) % fields.size());
  const FieldDef& def = fields[static_cast<std::size_t>(field)];
  // Texts that touch the writers' edge cases: escapes, control bytes, multibyte characters,
  // and more characters than the column holds.
  static const std::string kTexts[] = {"",   "a\"b\\c", "\x01\x1f",         "ção",
                                       "Ab", "aB",      "abcdefghijklmnop", "€€€€€€€"};
  auto set = [&] {
    if (def.type == FieldType::String) {
      table.setText(field, kTexts[(op >> 5) % std::size(kTexts)]);
    } else if (def.type == FieldType::Integer) {
      table.setInteger(field, step * 1000 - static_cast<int>(op));
    } else {
      table.setNumber(field, (op & 0x20) ? step * 0.5 : -1e300 * (op >> 6));
    }
  };
  switch (op & 3) {
    case 0:  // append a row
      table.append();
      set();
      table.post();
      break;
    case 1:  // change a value of a row
      if (rows == 0) return;
      table.first();
      for (std::size_t i = 0; i < op % rows; ++i) table.next();
      table.edit();
      set();
      table.post();
      break;
    case 2:  // delete a row
      if (rows == 0) return;
      table.first();
      for (std::size_t i = 0; i < (op >> 2) % rows; ++i) table.next();
      table.deleteCurrent();
      break;
    case 3:  // look a row up by its first column, then change it
      if (rows == 0 || fields[0].type != FieldType::String) return;
      {
        std::string_view value = kTexts[(op >> 5) % std::size(kTexts)];
        if (!table.locate(fields[0].name, std::span<const std::string_view>(&value, 1))) return;
        table.edit();
        set();
        table.post();
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t brace = std::min(input.find('{'), input.size());
  std::string ops = input.substr(0, std::min<std::size_t>(brace, 64));
  json packet;
  try {
    packet = json::parse(input.substr(brace));
  } catch (const json::exception&) {
    return 0;  // the connection refuses what is not JSON before a table sees it
  }

  RecordSet table("cdsDados", size % 2 == 0 ? statisticsLayout() : smallLayout());
  // A table that holds a row already, to see that a refused packet leaves it.
  table.open();
  table.append();
  table.post();
  const json before = table.packet();
  try {
    table.loadPacket(packet);
  } catch (const zeb::platform::Exception&) {
    FUZZ_CHECK(table.packet() == before, "a refused packet changed the table: " + packet.dump());
    return 0;
  }

  const json loaded = table.packet();
  const auto& fields = table.fields();
  for (const json& row : loaded["rows"]) {
    for (std::size_t c = 0; c < fields.size(); ++c) {
      if (fields[c].type != FieldType::String) continue;
      const std::string& text = row[c].get_ref<const std::string&>();
      FUZZ_CHECK(zeb::platform::isValidUtf8(text) &&
                     zeb::platform::utf8Length(text) <= static_cast<std::size_t>(fields[c].size),
                 "column " + fields[c].name + " holds '" + text + "'");
    }
  }
  FUZZ_CHECK(loaded["rows"].size() == packet["rows"].size(), "rows were lost: " + packet.dump());
  RecordSet again("again", fields);
  again.loadPacket(loaded);
  FUZZ_CHECK(again.packet() == loaded, "the packet does not load back to itself: " + loaded.dump());

  int step = 0;
  for (char op : ops) edit(table, static_cast<std::uint8_t>(op), ++step);

  // The base the delta is relative to: the packet, or what the last merge left.
  json base = loaded["rows"];
  std::size_t lastMerge = ops.rfind('\xFF');
  if (lastMerge != std::string::npos) {
    RecordSet replay("replay", fields);
    replay.loadPacket(packet);
    for (std::size_t i = 0; i < lastMerge; ++i) {
      edit(replay, static_cast<std::uint8_t>(ops[i]), static_cast<int>(i) + 1);
    }
    base = replay.packet()["rows"];
  }

  json delta = table.delta();
  std::string written;
  table.writeDelta(written);
  json parsed;
  try {
    parsed = json::parse(written);
  } catch (const json::exception& e) {
    FUZZ_CHECK(false, std::string("writeDelta wrote no JSON: ") + e.what() + "\n" + written);
  }
  FUZZ_CHECK(parsed == delta, "writeDelta: " + written + "\ndelta():    " + delta.dump());
  FUZZ_CHECK(static_cast<std::size_t>(table.changeCount()) == delta["changes"].size(),
             "changeCount " + std::to_string(table.changeCount()) + " for " + delta.dump());

  json rows = base;
  for (const json& change : delta["changes"]) {
    std::string op = change["op"];
    if (op != "insert") {
      auto old = std::find_if(rows.begin(), rows.end(),
                              [&](const json& r) { return sameRow(r, change["old"]); });
      FUZZ_CHECK(old != rows.end(), "a change's old row is not in the base: " + change.dump());
      rows.erase(old);
    }
    if (op != "delete") rows.push_back(change["row"]);
  }
  FUZZ_CHECK(rowSet(rows) == rowSet(table.packet()["rows"]),
             "the delta applied to the base gives\n" + join(rowSet(rows)) + "the table holds\n" +
                 join(rowSet(table.packet()["rows"])));
  return 0;
}
