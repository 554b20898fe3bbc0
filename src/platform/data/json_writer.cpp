// Writing deltas as JSON text straight from the rows: the fast path for sending.
#include <algorithm>
#include <cstring>

#include "platform/data/record_set_impl.h"

namespace zeb::platform::data {

// --- Packets ------------------------------------------------------------------------------
// Writes the row as a JSON array straight into "out": no document, no allocation per value.
void RecordSet::Impl::writeRowJson(JsonOut& out, const std::uint32_t* cells) const {
  out.need(1);
  out.put('[');
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    if (c.type == FieldType::String) {
      const JsonText& j = jsonText(cells[c.word]);
      if (j.plain) {
        out.need(j.size + 3);
        if (i != 0) out.put(',');
        out.put('"');
        out.put(j.data, j.size);
        out.put('"');
      } else {
        if (i != 0) out.literal(",");
        out.escaped(std::string_view(j.data, j.size));
      }
      continue;
    }
    out.need(kNumberRoom + 1);
    if (i != 0) out.put(',');
    if (c.type == FieldType::Integer) {
      out.putNumber(static_cast<std::int32_t>(cells[c.word]));
    } else {
      double v;
      std::memcpy(&v, cells + c.word, sizeof v);
      out.putNumber(v);
    }
  }
  out.need(1);
  out.put(']');
}

const RecordSet::Impl::JsonText& RecordSet::Impl::jsonText(std::uint32_t id) const {
  if (id >= jsonTexts.size()) jsonTexts.resize(pool.size());
  JsonText& j = jsonTexts[id];
  if (j.data == nullptr) {
    std::string_view text = pool.text(id);
    j.data = text.empty() ? "" : text.data();
    j.size = static_cast<std::uint32_t>(text.size());
    j.plain = std::none_of(text.begin(), text.end(), [](char ch) {
      auto c = static_cast<unsigned char>(ch);
      return c < 0x20 || c == '"' || c == '\\';
    });
  }
  return j;
}

// Ask for what writing a row will read: first where its texts are, then their bytes.
void RecordSet::Impl::prefetchTextEntries(const std::uint32_t* cells) const {
  for (const Column& c : columns) {
    if (c.type == FieldType::String && cells[c.word] < jsonTexts.size()) {
      __builtin_prefetch(&jsonTexts[cells[c.word]]);
    }
  }
}

void RecordSet::Impl::prefetchTextBytes(const std::uint32_t* cells) const {
  for (const Column& c : columns) {
    if (c.type == FieldType::String && cells[c.word] < jsonTexts.size()) {
      __builtin_prefetch(jsonTexts[cells[c.word]].data);
    }
  }
}

void RecordSet::writeDelta(std::string& out) const {
  const Impl& d = *impl_;
  const std::size_t start = out.size();
  const std::size_t count = d.changed.size();
  JsonOut w(out, d.columnsText.size() + 64 + (count + 1) * d.deltaBytesPerChange);
  w.literal("{\"columns\":");
  w.literal(d.columnsText);
  w.literal(",\"changes\":[");
  bool first = true;
  const std::uint32_t* base = d.baseCells.data();
  // Changed rows lie anywhere in a large table, and so do their texts: a few changes ahead the
  // row is fetched, then where its texts are, then their bytes, so that each arrives before it
  // is written.
  constexpr std::size_t kRowsAhead = 6;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t id = d.changed[i];
    if (i + kRowsAhead < count) {
      if (const std::uint32_t* row = d.liveRow(d.changed[i + kRowsAhead])) {
        __builtin_prefetch(row);
        __builtin_prefetch(row + d.cellWords - 1);
      }
    }
    if (i + kRowsAhead / 2 < count) {
      if (const std::uint32_t* row = d.liveRow(d.changed[i + kRowsAhead / 2])) {
        d.prefetchTextEntries(row);
      }
    }
    if (i + 1 < count) {
      if (const std::uint32_t* row = d.liveRow(d.changed[i + 1])) d.prefetchTextBytes(row);
    }
    bool live = d.rows.isLive(id);
    bool inserted = id >= d.baseLimit;
    if (inserted && !live) continue;
    if (!first) w.literal(",");
    first = false;
    if (inserted) {
      w.literal("{\"op\":\"insert\",\"row\":");
      d.writeRowJson(w, d.rows.row(id));
    } else {
      w.literal(live ? "{\"op\":\"update\",\"old\":" : "{\"op\":\"delete\",\"old\":");
      d.writeRowJson(w, base);
      base += d.cellWords;
      if (live) {
        w.literal(",\"row\":");
        d.writeRowJson(w, d.rows.row(id));
      }
    }
    w.literal("}");
  }
  w.literal("]}");
  // A little over the last delta's share per change, so that the next one rarely grows.
  d.deltaBytesPerChange = (w.written() - start) / (count + 1) * 9 / 8 + 16;
  w.finish();
}

}  // namespace zeb::platform::data
