// The inside of a record set, shared by the files that each do one of its jobs: the table
// and its cursor (record_set.cpp), keyed look-up (row_index.cpp), storing texts
// (text_cache.cpp), the change log (change_log.cpp), data packets (packet_codec.cpp) and
// the JSON writer of deltas (json_writer.cpp). Only those files include it.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/data/json_writer.h"
#include "platform/data/record_set.h"
#include "platform/data/row_index.h"
#include "platform/data/row_storage.h"
#include "platform/data/string_pool.h"
#include "platform/data/text_cache.h"

namespace zeb::platform::data::internal {

using json = nlohmann::json;

struct Column {
  FieldType type;
  std::uint32_t word;
  std::size_t width;
};

// The "columns" part of a packet for a layout.
json layoutJson(const std::vector<FieldDef>& fields);

// A number for a table's content, new with every new content of any table.
std::uint64_t nextContent();

}  // namespace zeb::platform::data::internal

namespace zeb::platform::data {

using namespace internal;

struct RecordSet::Impl {
  std::string name;
  std::vector<FieldDef> fields;
  std::vector<Column> columns;
  std::uint32_t cellWords = 0;

  bool active = false;
  DataSetState state = DataSetState::Inactive;
  StringPool pool;
  // Renewed with every new pool, from a counter shared by all tables: links learnt from a
  // source are good only while its content (and so its text ids) stays the same.
  std::uint64_t content = 0;
  std::vector<std::unique_ptr<SourceTexts>> sources;
  std::vector<std::uint32_t> hashOf;  // per text id: its hash + 1, or 0 when not yet known
  Rows rows;
  std::vector<ColumnCache> caches;

  std::uint32_t cur = kNone;
  bool bof = true;
  bool eof = true;
  std::vector<std::uint32_t> buffer;

  std::vector<KeyDef> keys;

  // Positions for recNo(): a Fenwick tree over row ids counting live rows, built on first use.
  std::vector<std::int32_t> fenwick;
  bool fenwickBuilt = false;

  bool logChanges = true;
  std::uint32_t baseLimit = 0;  // rows with smaller ids belong to the base (loaded or merged)
  std::vector<std::uint32_t> changed;  // rows in order of their first change
  // The base cells of every changed base row, cellWords each, in the order of "changed"; and a
  // bit per base row that tells whether it is in the log already. Flat, so that logging a change
  // allocates nothing once the log has held a batch.
  std::vector<std::uint32_t> baseCells;
  std::vector<std::uint64_t> logged;
  int changeCount = 0;

  // The "columns" part of packets and deltas, written once: the layout never changes.
  std::string columnsText;
  // Per text id, once written to JSON: where its bytes are, and whether they go between quotes
  // as they are. Deltas write the same addresses and dates over and over; each is scanned once,
  // and then found with one read instead of three.
  struct JsonText {
    const char* data = nullptr;  // null: not yet seen
    std::uint32_t size = 0;
    bool plain = false;
  };
  mutable std::vector<JsonText> jsonTexts;
  mutable std::size_t deltaBytesPerChange = 0;  // of the last delta written, to size the next

  AfterPost afterPost;

  // --- Checks -------------------------------------------------------------------------------
  // The checks run on every cell access; their failures are built out of line so that the
  // checks themselves stay a compare and a branch.
  void requireActive() const {
    if (!active) [[unlikely]]
      notOpen();
  }
  void requireEditing() const {
    requireActive();
    if (state != DataSetState::Edit && state != DataSetState::Insert) [[unlikely]]
      notEditing();
  }
  const Column& column(int field) const {
    if (field < 0 || static_cast<std::size_t>(field) >= columns.size()) [[unlikely]] {
      noColumn(field);
    }
    return columns[static_cast<std::size_t>(field)];
  }
  [[noreturn, gnu::cold, gnu::noinline]] void notOpen() const {
    throw Exception("table " + name + " is not open");
  }
  [[noreturn, gnu::cold, gnu::noinline]] void notEditing() const {
    throw Exception("table " + name + " is not in edit or insert mode");
  }
  [[noreturn, gnu::cold, gnu::noinline]] void noColumn(int field) const {
    throw Exception("table " + name + " has no column number " + std::to_string(field));
  }
  [[noreturn, gnu::cold, gnu::noinline]] void wrongType(int field, const char* kind) const {
    throw Exception("column " + fields[static_cast<std::size_t>(field)].name + " of table " + name +
                    " is not " + kind + " column");
  }
  void checkBrowse(RecordSet& self) {
    if (state == DataSetState::Edit || state == DataSetState::Insert) post(self);
  }

  const std::uint32_t* currentCells() const {
    if (state == DataSetState::Edit || state == DataSetState::Insert) return buffer.data();
    if (cur == kNone) return nullptr;
    return rows.row(cur);
  }

  // --- Content ------------------------------------------------------------------------------
  // --- Content ------------------------------------------------------------------------------
  void resetContent(StringPool newPool, Rows newRows);
  // Keeps the log's memory for the next batch; resetContent() gives it back.
  void clearLog();
  std::uint32_t internText(int field, std::string_view value) {
    const Column& c = columns[static_cast<std::size_t>(field)];
    if (value.size() > c.width) value = utf8Prefix(value, c.width);
    if (value.empty()) return StringPool::kEmpty;
    ColumnCache& cache = caches[static_cast<std::size_t>(field)];
    if (sameBytes(value, std::string_view(cache.data, cache.size))) return cache.id;
    return internNew(field, value, foldedHash(value));
  }
  // internText() past the cut and the last-text check; "hash" is foldedHash(value).
  std::uint32_t internNew(int field, std::string_view value, std::uint64_t hash);

  // --- Change log ---------------------------------------------------------------------------
  // --- Change log ---------------------------------------------------------------------------
  void logChange(std::uint32_t id) {
    if (!logChanges || id >= baseLimit) return;
    std::uint64_t bit = std::uint64_t{1} << (id & 63);
    if (logged[id >> 6] & bit) return;
    logged[id >> 6] |= bit;
    const std::uint32_t* cells = rows.row(id);
    baseCells.insert(baseCells.end(), cells, cells + cellWords);
    changed.push_back(id);
    ++changeCount;
  }

  // --- Indexes (row_index.cpp) ---------------------------------------------------------------
  // --- Indexes ------------------------------------------------------------------------------
  // The hash of a stored text, remembered by id: the rows of a large table share few distinct
  // texts, and reading them again to hash would miss the cache. Texts stored without a look-up
  // (a column of distinct texts) are not remembered: each is hashed about once anyway.
  std::uint32_t storedHash(std::uint32_t id);
  std::uint32_t rowKeyHash(const KeyDef& k, const std::uint32_t* cells);
  bool sameKey(const KeyDef& k, const std::uint32_t* a, const std::uint32_t* b) const;
  void indexInsert(KeyDef& k, std::uint32_t id);
  // Rebuilds the slots without deleted ones, twice as many when the groups alone fill more than
  // a third of them. Hashes are not kept, so they are computed again from the tail rows, which
  // are read in table order: in slot order every read would be a cache miss in a large table.
  void rehashIndex(KeyDef& k);
  void indexRemove(KeyDef& k, std::uint32_t id);
  void buildIndex(KeyDef& k);
  std::uint32_t indexLocate(KeyDef& k, std::span<const std::string_view> values);
  // The first row of the key's index with hash "h32" whose cells "equal" accepts; kNone when
  // there is none. Remembers where it was found.
  template <typename Equal>
  std::uint32_t probe(KeyDef& k, std::uint32_t h32, Equal&& equal) {
    std::uint32_t tag = Index::tag(h32);
    Index& x = *k.index;
    for (std::size_t pos = h32 & x.mask;; pos = (pos + 1) & x.mask) {
      std::uint32_t slot = x.slots[pos];
      if (slot == Index::kFree) return kNone;
      if (slot == Index::kDeleted || (slot & Index::kTagMask) != tag) continue;
      std::uint32_t head = x.next[slot & Index::kIdMask];
      if (equal(rows.row(head))) {
        x.hintRow = head;
        x.hintPos = pos;
        return head;
      }
    }
  }

  // --- Texts of other tables (text_cache.cpp) -----------------------------------------------
  // --- Texts of other tables ----------------------------------------------------------------
  SourceTexts& sourceTexts(const Impl& source, std::size_t width);
  // The width that texts of a source column are cut to here: none when they always fit.
  static std::size_t cutWidth(const Column& source, std::size_t width) {
    return source.width <= width ? 0 : width;
  }
  static std::string_view sourceText(const SourceTexts& st, const Impl& source, std::uint32_t id) {
    std::string_view text = source.pool.text(id);
    return st.width != 0 && text.size() > st.width ? utf8Prefix(text, st.width) : text;
  }
  TextLink& link(SourceTexts& st, const Impl& source, std::uint32_t id);
  const Column& sourceTextColumn(const Impl& source, int field) const;
  void setTextFrom(int field, const Impl& source, int sourceField);

  // One key column of a look-up keyed by a source row.
  struct SourceValue {
    SourceTexts* texts;
    std::uint32_t word;  // the source's cell
    std::uint32_t id;    // the source's text id
    std::uint32_t own;   // the id of the same bytes here, or kUnknown
    std::uint32_t fold;  // the fold id of its class here, or kUnknown when there is none
  };
  std::vector<SourceValue> sourceValues;

  std::uint32_t indexLocateFrom(KeyDef& k, const Impl& source, std::span<const int> sourceFields);
  // Fetches the index slots that the look-ups of the source's next rows will read, where a
  // large table's look-up would otherwise wait. Only while the source is walked forward (or
  // consumed from its front) one row per look-up: then the row ahead moves on by one each time.
  void prefetchAhead(KeyDef& k, const Impl& source);
  // The key hash of a source row, for the look-up under way (sourceValues).
  std::uint32_t sourceRowHash(const Impl& source, std::uint32_t id);

  // --- Positions ----------------------------------------------------------------------------
  std::int32_t fenwickPrefix(std::int64_t i) const {  // live rows with ids 0..i
    std::int32_t sum = 0;
    for (; i >= 0; i = (i & (i + 1)) - 1) sum += fenwick[static_cast<std::size_t>(i)];
    return sum;
  }
  void fenwickAdd(std::size_t i, std::int32_t delta) {
    for (; i < fenwick.size(); i |= i + 1) fenwick[i] += delta;
  }
  void buildFenwick();
  void fenwickAppend() {  // the new row is live
    auto n = static_cast<std::int64_t>(fenwick.size());
    std::int32_t value = 1 + fenwickPrefix(n - 1) - fenwickPrefix((n & (n + 1)) - 1);
    fenwick.push_back(value);
  }

  // --- Editing ------------------------------------------------------------------------------
  // --- Editing ------------------------------------------------------------------------------
  void post(RecordSet& self);
  void deleteCurrent();

  // --- Packets (packet_codec.cpp, json_writer.cpp) -------------------------------------------
  // --- Packets ------------------------------------------------------------------------------
  // Writes the row as a JSON array straight into "out": no document, no allocation per value.
  void writeRowJson(JsonOut& out, const std::uint32_t* cells) const;
  const JsonText& jsonText(std::uint32_t id) const;
  // Ask for what writing a row will read: first where its texts are, then their bytes.
  void prefetchTextEntries(const std::uint32_t* cells) const;
  void prefetchTextBytes(const std::uint32_t* cells) const;
  // The cells of a changed row, or null when it is gone (its block too, perhaps).
  const std::uint32_t* liveRow(std::uint32_t id) const {
    return rows.isLive(id) ? rows.row(id) : nullptr;
  }
  json rowJson(const std::uint32_t* cells) const;
};

}  // namespace zeb::platform::data
