#include "platform/data/record_set.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <utility>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/data/string_pool.h"

namespace zeb::platform::data {

namespace {

using json = nlohmann::json;

template <typename Number>
void writeNumber(std::string& out, Number value) {
  char digits[32];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kDead = 0xFFFFFFFEu;
constexpr std::uint32_t kMaxRows = 0xFFFFFF00u;
constexpr std::size_t kMaxKeys = 64;
constexpr std::size_t kNoSlot = ~std::size_t{0};

// Rows live in blocks that never move, so that appending never copies the table and a block
// whose rows are all deleted can be given back while the table is still being consumed.
constexpr unsigned kBlockBits = 12;
constexpr std::uint32_t kBlockRows = 1u << kBlockBits;

// Physical rows with stable ids (the order of addition). Each row holds its cells followed by
// the ids of the previous and next live row, so that deleting any row is O(1) and a walk
// touches one place per row.
struct Rows {
  std::uint32_t cellWords = 0;
  std::uint32_t stride = 2;
  std::vector<std::unique_ptr<std::uint32_t[]>> blocks;
  std::vector<std::uint32_t> blockLive;
  std::uint32_t count = 0;  // rows ever added
  std::uint32_t live = 0;
  std::uint32_t head = kNone;
  std::uint32_t tail = kNone;

  explicit Rows(std::uint32_t words = 0) : cellWords(words), stride(words + 2) {}

  std::uint32_t* row(std::uint32_t id) {
    return blocks[id >> kBlockBits].get() + std::size_t{id & (kBlockRows - 1)} * stride;
  }
  const std::uint32_t* row(std::uint32_t id) const {
    return blocks[id >> kBlockBits].get() + std::size_t{id & (kBlockRows - 1)} * stride;
  }
  std::uint32_t prev(std::uint32_t id) const { return row(id)[cellWords]; }
  std::uint32_t next(std::uint32_t id) const { return row(id)[cellWords + 1]; }
  bool isLive(std::uint32_t id) const {
    return id < count && blocks[id >> kBlockBits] != nullptr && next(id) != kDead;
  }

  std::uint32_t add(const std::uint32_t* cells, const std::string& table) {
    if (count >= kMaxRows) throw Exception("table " + table + " is full");
    std::uint32_t id = count;
    std::size_t block = id >> kBlockBits;
    if (block == blocks.size()) {
      blocks.push_back(
          std::make_unique_for_overwrite<std::uint32_t[]>(std::size_t{kBlockRows} * stride));
      blockLive.push_back(0);
    }
    std::uint32_t* r = row(id);
    std::memcpy(r, cells, std::size_t{cellWords} * 4);
    r[cellWords] = tail;
    r[cellWords + 1] = kNone;
    if (tail != kNone) {
      row(tail)[cellWords + 1] = id;
    } else {
      head = id;
    }
    tail = id;
    ++count;
    ++live;
    ++blockLive[block];
    return id;
  }

  void remove(std::uint32_t id) {
    std::uint32_t p = prev(id);
    std::uint32_t n = next(id);
    if (p != kNone) {
      row(p)[cellWords + 1] = n;
    } else {
      head = n;
    }
    if (n != kNone) {
      row(n)[cellWords] = p;
    } else {
      tail = p;
    }
    row(id)[cellWords + 1] = kDead;
    --live;
    std::size_t block = id >> kBlockBits;
    // A full block without live rows is never read again: give its memory back.
    if (--blockLive[block] == 0 && (block + 1) * std::size_t{kBlockRows} <= count) {
      blocks[block].reset();
    }
  }
};

// The hash index behind one key list. Rows with equal keys (letter case folded) form a group:
// a circular list of row ids in ascending order, that is in table order, linked by "next". A
// slot names the group's tail, whose successor is the head: the answer of a look-up.
//
// A slot is four bytes: the tail's row id and, in the top bits, a few bits of the key's hash
// that spare most comparisons with rows of other keys. Small slots matter: with a million groups
// the slots take 8 MiB, and a look-up in a large table then costs little more than in a small
// one. Deleted slots stay marked (a probe run must not break) and are reused by inserts; a rehash
// clears them.
struct Index {
  static constexpr unsigned kIdBits = 26;
  static constexpr std::uint32_t kIdMask = (1u << kIdBits) - 1;
  static constexpr std::uint32_t kMaxRowId = kIdMask - 1;
  static constexpr std::uint32_t kFree = 0;
  static constexpr std::uint32_t kDeleted = 0xFFFFFFFFu;
  static constexpr std::uint32_t kTagMask = ~kIdMask;
  static std::uint32_t tag(std::uint32_t hash) {
    std::uint32_t t = hash >> kIdBits;
    return (t == 0 ? 1 : t) << kIdBits;  // never 0, so that no slot in use reads as free
  }

  std::vector<std::uint32_t> slots;
  std::size_t mask = 0;
  std::size_t used = 0;  // slots not free: groups and deleted ones
  std::size_t groups = 0;
  std::vector<std::uint32_t> next;
  // The row of the last successful look-up and its slot: deleting the row just found (the
  // common pattern) then needs no second probe. Any change to the slots clears it.
  std::uint32_t hintRow = kNone;
  std::size_t hintPos = 0;

  explicit Index(std::size_t expected) { reset(capacityFor(expected)); }

  static std::size_t capacityFor(std::size_t groups) {
    std::size_t size = 16;
    while (size * 7 < groups * 10) size *= 2;
    return size;
  }
  void reset(std::size_t size) {
    slots.assign(size, kFree);
    mask = size - 1;
    used = 0;
    groups = 0;
    hintRow = kNone;
  }
  // Stores a group that is known not to be in the table.
  void place(std::uint32_t hash, std::uint32_t tail) {
    std::size_t pos = hash & mask;
    while (slots[pos] != kFree) pos = (pos + 1) & mask;
    slots[pos] = tag(hash) | tail;
    ++used;
    ++groups;
  }
};

struct KeyDef {
  std::string list;
  std::vector<int> fields;
  std::vector<std::uint32_t> words;
  std::vector<std::size_t> widths;
  std::unique_ptr<Index> index;
};

struct Column {
  FieldType type;
  std::uint32_t word;
  std::size_t width;
};

// Per text column: the last text stored (parsed logs repeat days, months and addresses, and a
// repeat then costs a compare instead of a hash look-up), and whether texts are still looked up
// at all. Looking up a text that is new costs a cache miss in a large table and saves nothing,
// so a column whose texts are nearly all distinct (queue ids) stores them without the look-up.
// A sample of its texts, chosen by hash so that a value is either always or never in it, is
// still looked up, and a rising share of repeats in the sample turns look-ups back on.
struct ColumnCache {
  std::uint32_t id = StringPool::kEmpty;
  const char* data = nullptr;
  std::size_t size = 0;
  bool distinct = false;
  std::uint32_t count = 0;    // texts looked up in the current window
  std::uint32_t repeats = 0;  // of those, texts that were already held
};
constexpr std::uint32_t kLookupWindow = 4096;
constexpr std::uint32_t kSampleWindow = 64;
// Below 20% repeats a column is taken as distinct; from 30% on it is looked up again. Where the
// two meet, a duplicate copy of a short text costs about what a table slot for a new one does.
constexpr std::uint32_t kDistinctBelowPercent = 20;
constexpr std::uint32_t kLookupFromPercent = 30;
constexpr unsigned kSampleShift = 58;  // 1 text in 64 by hash

std::string shortDump(const json& value) {
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

}  // namespace

struct RecordSet::Impl {
  std::string name;
  std::vector<FieldDef> fields;
  std::vector<Column> columns;
  std::uint32_t cellWords = 0;

  bool active = false;
  DataSetState state = DataSetState::Inactive;
  StringPool pool;
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
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> baseValues;
  int changeCount = 0;

  AfterPost afterPost;

  // --- Checks -------------------------------------------------------------------------------
  void requireActive() const {
    if (!active) throw Exception("table " + name + " is not open");
  }
  void requireEditing() const {
    requireActive();
    if (state != DataSetState::Edit && state != DataSetState::Insert) {
      throw Exception("table " + name + " is not in edit or insert mode");
    }
  }
  const Column& column(int field) const {
    if (field < 0 || static_cast<std::size_t>(field) >= columns.size()) {
      throw Exception("table " + name + " has no column number " + std::to_string(field));
    }
    return columns[static_cast<std::size_t>(field)];
  }
  [[noreturn]] void wrongType(int field, const char* kind) const {
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
  void resetContent(StringPool newPool, Rows newRows) {
    pool = std::move(newPool);
    rows = std::move(newRows);
    for (ColumnCache& c : caches) c = ColumnCache{};  // also forgets distinct columns
    for (KeyDef& k : keys) k.index.reset();
    fenwick.clear();
    fenwick.shrink_to_fit();
    fenwickBuilt = false;
    clearLog();
    state = active ? DataSetState::Browse : DataSetState::Inactive;
    cur = rows.head;
    bof = true;
    eof = cur == kNone;
  }
  void clearLog() {
    baseLimit = rows.count;
    changed.clear();
    changed.shrink_to_fit();
    baseValues.clear();
    changeCount = 0;
  }

  std::uint32_t internText(int field, std::string_view value) {
    const Column& c = columns[static_cast<std::size_t>(field)];
    if (value.size() > c.width) value = utf8Prefix(value, c.width);
    if (value.empty()) return StringPool::kEmpty;
    ColumnCache& cache = caches[static_cast<std::size_t>(field)];
    if (sameBytes(value, std::string_view(cache.data, cache.size))) return cache.id;
    std::uint64_t hash = foldedHash(value);
    std::uint32_t id;
    if (!cache.distinct || (hash >> kSampleShift) == 0) {
      std::size_t held = pool.size();
      id = pool.intern(value, hash);
      if (pool.size() == held) ++cache.repeats;
      std::uint32_t window = cache.distinct ? kSampleWindow : kLookupWindow;
      if (++cache.count == window) {
        std::uint32_t percent = cache.repeats * 100 / window;
        cache.distinct =
            cache.distinct ? percent < kLookupFromPercent : percent < kDistinctBelowPercent;
        cache.count = 0;
        cache.repeats = 0;
      }
    } else {
      id = pool.add(value);
    }
    std::string_view held = pool.text(id);
    cache.id = id;
    cache.data = held.data();
    cache.size = held.size();
    return id;
  }

  // --- Change log ---------------------------------------------------------------------------
  void logChange(std::uint32_t id) {
    if (!logChanges || id >= baseLimit) return;
    auto [it, added] = baseValues.try_emplace(id);
    if (!added) return;
    const std::uint32_t* cells = rows.row(id);
    it->second.assign(cells, cells + cellWords);
    changed.push_back(id);
    ++changeCount;
  }

  // --- Indexes ------------------------------------------------------------------------------
  std::uint32_t rowKeyHash(const KeyDef& k, const std::uint32_t* cells) const {
    std::uint64_t h = kHashSeed;
    for (std::uint32_t w : k.words) h = foldText(h, pool.text(cells[w]));
    return shortHash(finishHash(h));
  }
  bool sameKey(const KeyDef& k, const std::uint32_t* a, const std::uint32_t* b) const {
    for (std::uint32_t w : k.words) {
      if (a[w] == b[w]) continue;
      std::uint32_t fa = pool.fold(a[w]);
      std::uint32_t fb = pool.fold(b[w]);
      if (fa != StringPool::kNoFold && fb != StringPool::kNoFold) {
        if (fa != fb) return false;
      } else if (!foldedEqual(pool.text(a[w]), pool.text(b[w]))) {
        return false;
      }
    }
    return true;
  }

  void indexInsert(KeyDef& k, std::uint32_t id) {
    Index& x = *k.index;
    if (id >= x.next.size()) x.next.resize(std::max<std::size_t>(id + 1, rows.count));
    x.hintRow = kNone;
    const std::uint32_t* cells = rows.row(id);
    std::uint32_t h = rowKeyHash(k, cells);
    std::uint32_t tag = Index::tag(h);
    std::size_t reuse = kNoSlot;
    std::size_t pos = h & x.mask;
    for (;; pos = (pos + 1) & x.mask) {
      std::uint32_t slot = x.slots[pos];
      if (slot == Index::kFree) break;
      if (slot == Index::kDeleted) {
        if (reuse == kNoSlot) reuse = pos;
        continue;
      }
      std::uint32_t tail = slot & Index::kIdMask;
      if ((slot & Index::kTagMask) != tag || !sameKey(k, rows.row(tail), cells)) continue;
      std::uint32_t head = x.next[tail];
      if (id > tail) {
        x.next[id] = head;
        x.next[tail] = id;
        x.slots[pos] = tag | id;
      } else if (id < head) {
        x.next[id] = head;
        x.next[tail] = id;
      } else {
        // Only an edit that changes a key brings an older row into a group.
        std::uint32_t p = head;
        while (x.next[p] < id) p = x.next[p];
        x.next[id] = x.next[p];
        x.next[p] = id;
      }
      return;
    }
    if (reuse != kNoSlot) {
      pos = reuse;
    } else {
      ++x.used;
    }
    x.slots[pos] = tag | id;
    x.next[id] = id;
    ++x.groups;
    if (x.used * 10 > x.slots.size() * 7) rehashIndex(k);
  }

  // Rebuilds the slots without deleted ones, twice as many when the groups alone fill more than
  // a third of them. Hashes are not kept, so they are computed again from the tail rows.
  void rehashIndex(KeyDef& k) {
    Index& x = *k.index;
    std::vector<std::uint32_t> tails;
    tails.reserve(x.groups);
    for (std::uint32_t slot : x.slots) {
      if (slot != Index::kFree && slot != Index::kDeleted) tails.push_back(slot & Index::kIdMask);
    }
    x.reset(Index::capacityFor(tails.size() * 2));
    for (std::uint32_t tail : tails) x.place(rowKeyHash(k, rows.row(tail)), tail);
  }

  void indexRemove(KeyDef& k, std::uint32_t id) {
    Index& x = *k.index;
    std::size_t pos;
    if (x.hintRow == id) {
      pos = x.hintPos;
    } else {
      const std::uint32_t* cells = rows.row(id);
      std::uint32_t h = rowKeyHash(k, cells);
      std::uint32_t tag = Index::tag(h);
      for (pos = h & x.mask;; pos = (pos + 1) & x.mask) {
        std::uint32_t slot = x.slots[pos];
        if (slot == Index::kFree) throw Exception("index of table " + name + " lost a row");
        if (slot == Index::kDeleted || (slot & Index::kTagMask) != tag) continue;
        std::uint32_t tail = slot & Index::kIdMask;
        if (tail == id || sameKey(k, rows.row(tail), cells)) break;
      }
    }
    x.hintRow = kNone;
    std::uint32_t tail = x.slots[pos] & Index::kIdMask;
    std::uint32_t p = tail;
    while (x.next[p] != id) p = x.next[p];
    if (p == id) {  // the only row of its group
      x.slots[pos] = Index::kDeleted;
      // Once every group is gone (a table consumed to the end), start afresh and small rather
      // than probing over deleted slots.
      if (--x.groups == 0) x.reset(Index::capacityFor(0));
      return;
    }
    x.next[p] = x.next[id];
    if (tail == id) x.slots[pos] = (x.slots[pos] & Index::kTagMask) | p;
  }

  void buildIndex(KeyDef& k) {
    if (rows.count > Index::kMaxRowId + 1) {
      throw Exception("table " + name + " has too many rows for a keyed look-up");
    }
    k.index = std::make_unique<Index>(rows.live);
    k.index->next.resize(rows.count);
    for (std::uint32_t id = rows.head; id != kNone; id = rows.next(id)) indexInsert(k, id);
  }

  std::uint32_t indexLocate(KeyDef& k, std::span<const std::string_view> values) {
    if (values.size() != k.words.size()) {
      throw Exception("key " + k.list + " of table " + name + " has " +
                      std::to_string(k.words.size()) + " columns, but " +
                      std::to_string(values.size()) + " values were given");
    }
    if (!k.index) buildIndex(k);
    // Compare as the stored value would: a longer value was cut to the column's width.
    auto cut = [&](std::size_t i) {
      return values[i].size() > k.widths[i] ? utf8Prefix(values[i], k.widths[i]) : values[i];
    };
    std::uint64_t h = kHashSeed;
    for (std::size_t i = 0; i < values.size(); ++i) h = foldText(h, cut(i));
    std::uint32_t h32 = shortHash(finishHash(h));
    std::uint32_t tag = Index::tag(h32);
    Index& x = *k.index;
    for (std::size_t pos = h32 & x.mask;; pos = (pos + 1) & x.mask) {
      std::uint32_t slot = x.slots[pos];
      if (slot == Index::kFree) return kNone;
      if (slot == Index::kDeleted || (slot & Index::kTagMask) != tag) continue;
      std::uint32_t head = x.next[slot & Index::kIdMask];
      const std::uint32_t* cells = rows.row(head);
      bool equal = true;
      for (std::size_t i = 0; i < values.size() && equal; ++i) {
        equal = foldedEqual(pool.text(cells[k.words[i]]), cut(i));
      }
      if (equal) {
        x.hintRow = head;
        x.hintPos = pos;
        return head;
      }
    }
  }

  // --- Positions ----------------------------------------------------------------------------
  std::int32_t fenwickPrefix(std::int64_t i) const {  // live rows with ids 0..i
    std::int32_t sum = 0;
    for (; i >= 0; i = (i & (i + 1)) - 1) sum += fenwick[static_cast<std::size_t>(i)];
    return sum;
  }
  void fenwickAdd(std::size_t i, std::int32_t delta) {
    for (; i < fenwick.size(); i |= i + 1) fenwick[i] += delta;
  }
  void buildFenwick() {
    fenwick.assign(rows.count, 0);
    for (std::size_t i = 0; i < fenwick.size(); ++i) {
      if (rows.isLive(static_cast<std::uint32_t>(i))) fenwick[i] += 1;
      std::size_t parent = i | (i + 1);
      if (parent < fenwick.size()) fenwick[parent] += fenwick[i];
    }
    fenwickBuilt = true;
  }
  void fenwickAppend() {  // the new row is live
    auto n = static_cast<std::int64_t>(fenwick.size());
    std::int32_t value = 1 + fenwickPrefix(n - 1) - fenwickPrefix((n & (n + 1)) - 1);
    fenwick.push_back(value);
  }

  // --- Editing ------------------------------------------------------------------------------
  void post(RecordSet& self) {
    requireActive();
    if (state == DataSetState::Insert) {
      std::uint32_t id = rows.add(buffer.data(), name);
      for (KeyDef& k : keys) {
        if (!k.index) continue;
        if (id <= Index::kMaxRowId) {
          indexInsert(k, id);
        } else {
          k.index.reset();  // the next look-up reports the table as too large
        }
      }
      if (fenwickBuilt) fenwickAppend();
      if (logChanges) {
        changed.push_back(id);
        ++changeCount;
      }
      cur = id;
      bof = false;
      eof = false;
    } else if (state == DataSetState::Edit) {
      std::uint32_t* cells = rows.row(cur);
      std::uint64_t moved = 0;  // keys whose value changes: the row leaves its group
      for (std::size_t i = 0; i < keys.size(); ++i) {
        KeyDef& k = keys[i];
        if (!k.index || sameKey(k, cells, buffer.data())) continue;
        indexRemove(k, cur);
        moved |= std::uint64_t{1} << i;
      }
      logChange(cur);
      std::memcpy(cells, buffer.data(), std::size_t{cellWords} * 4);
      for (std::size_t i = 0; i < keys.size(); ++i) {
        if (moved & (std::uint64_t{1} << i)) indexInsert(keys[i], cur);
      }
    } else {
      throw Exception("table " + name + " is not in edit or insert mode");
    }
    state = DataSetState::Browse;
    if (afterPost) afterPost(self);
  }

  void deleteCurrent() {
    std::uint32_t id = cur;
    for (KeyDef& k : keys) {
      if (k.index) indexRemove(k, id);
    }
    if (fenwickBuilt) fenwickAdd(id, -1);
    if (logChanges) {
      if (id >= baseLimit) {
        --changeCount;  // an inserted row that goes leaves no trace in the log
      } else {
        logChange(id);
      }
    }
    std::uint32_t after = rows.next(id);
    std::uint32_t before = rows.prev(id);
    rows.remove(id);
    if (after != kNone) {
      cur = after;
      bof = false;
      eof = false;
    } else if (before != kNone) {
      cur = before;
      bof = false;
      eof = true;
    } else {
      cur = kNone;
      bof = true;
      eof = true;
    }
  }

  // --- Packets ------------------------------------------------------------------------------
  // Writes the row as a JSON array straight into "out": no document, no allocation per value.
  void writeRowJson(std::string& out, const std::uint32_t* cells) const {
    out.push_back('[');
    bool first = true;
    for (const Column& c : columns) {
      if (!first) out.push_back(',');
      first = false;
      switch (c.type) {
        case FieldType::String:
          appendJsonString(out, pool.text(cells[c.word]));
          break;
        case FieldType::Integer:
          writeNumber(out, static_cast<std::int32_t>(cells[c.word]));
          break;
        case FieldType::Double: {
          double v;
          std::memcpy(&v, cells + c.word, sizeof v);
          writeNumber(out, v);
          break;
        }
      }
    }
    out.push_back(']');
  }

  json rowJson(const std::uint32_t* cells) const {
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
};

// --- Construction ---------------------------------------------------------------------------

RecordSet::RecordSet(std::string name, std::vector<FieldDef> fields)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.name = std::move(name);
  std::uint32_t word = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldDef& f = fields[i];
    for (std::size_t j = 0; j < i; ++j) {
      if (equalsIgnoreAsciiCase(fields[j].name, f.name)) {
        throw Exception("table " + d.name + " has column " + f.name + " twice");
      }
    }
    if (f.type == FieldType::String && f.size <= 0) {
      throw Exception("text column " + f.name + " of table " + d.name + " needs a width");
    }
    d.columns.push_back(
        Column{f.type, word, f.type == FieldType::String ? static_cast<std::size_t>(f.size) : 0});
    word += f.type == FieldType::Double ? 2 : 1;
  }
  d.fields = std::move(fields);
  d.cellWords = word;
  d.buffer.assign(word, 0);
  d.caches.resize(d.columns.size());
  d.rows = Rows(word);
}

RecordSet::~RecordSet() = default;

const std::string& RecordSet::name() const { return impl_->name; }
const std::vector<FieldDef>& RecordSet::fields() const { return impl_->fields; }

int RecordSet::fieldIndex(std::string_view name) const {
  const auto& fields = impl_->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (equalsIgnoreAsciiCase(fields[i].name, name)) return static_cast<int>(i);
  }
  throw Exception("table " + impl_->name + " has no column " + std::string(name));
}

void RecordSet::open() {
  Impl& d = *impl_;
  d.active = true;
  d.resetContent(StringPool(), Rows(d.cellWords));
}

void RecordSet::close() {
  Impl& d = *impl_;
  d.active = false;
  d.resetContent(StringPool(), Rows(d.cellWords));
}

bool RecordSet::active() const { return impl_->active; }

// --- Cursor ---------------------------------------------------------------------------------

bool RecordSet::isEmpty() const { return impl_->rows.live == 0; }
std::size_t RecordSet::recordCount() const { return impl_->rows.live; }

std::size_t RecordSet::recNo() const {
  Impl& d = *impl_;
  if (!d.active || d.cur == kNone) return 0;
  if (!d.fenwickBuilt) d.buildFenwick();
  return static_cast<std::size_t>(d.fenwickPrefix(d.cur));
}

void RecordSet::first() {
  Impl& d = *impl_;
  d.requireActive();
  d.checkBrowse(*this);
  d.cur = d.rows.head;
  d.bof = true;
  d.eof = d.cur == kNone;
}

void RecordSet::last() {
  Impl& d = *impl_;
  d.requireActive();
  d.checkBrowse(*this);
  d.cur = d.rows.tail;
  d.eof = true;
  d.bof = d.cur == kNone;
}

void RecordSet::next() {
  Impl& d = *impl_;
  d.requireActive();
  d.checkBrowse(*this);
  if (d.cur == kNone || d.rows.next(d.cur) == kNone) {
    d.eof = true;
    return;
  }
  d.cur = d.rows.next(d.cur);
  d.bof = false;
  d.eof = false;
}

void RecordSet::prior() {
  Impl& d = *impl_;
  d.requireActive();
  d.checkBrowse(*this);
  if (d.cur == kNone || d.rows.prev(d.cur) == kNone) {
    d.bof = true;
    return;
  }
  d.cur = d.rows.prev(d.cur);
  d.bof = false;
  d.eof = false;
}

bool RecordSet::bof() const { return impl_->bof; }
bool RecordSet::eof() const { return impl_->eof; }

std::uint32_t RecordSet::rowId() const {
  const Impl& d = *impl_;
  d.requireActive();
  if (d.cur == kNone) throw Exception("table " + d.name + " has no current row");
  return d.cur;
}

bool RecordSet::gotoRowId(std::uint32_t id) {
  Impl& d = *impl_;
  d.requireActive();
  d.checkBrowse(*this);
  if (!d.rows.isLive(id)) return false;
  d.cur = id;
  d.bof = false;
  d.eof = false;
  return true;
}

// --- Editing --------------------------------------------------------------------------------

DataSetState RecordSet::state() const { return impl_->state; }

void RecordSet::append() {
  Impl& d = *impl_;
  d.requireActive();
  d.checkBrowse(*this);
  std::fill(d.buffer.begin(), d.buffer.end(), 0u);
  d.state = DataSetState::Insert;
}

void RecordSet::edit() {
  Impl& d = *impl_;
  d.requireActive();
  if (d.state != DataSetState::Browse) return;
  if (d.cur == kNone) throw Exception("table " + d.name + " is empty");
  const std::uint32_t* cells = d.rows.row(d.cur);
  std::copy(cells, cells + d.cellWords, d.buffer.begin());
  d.state = DataSetState::Edit;
}

void RecordSet::post() { impl_->post(*this); }

void RecordSet::cancel() {
  Impl& d = *impl_;
  if (d.state == DataSetState::Edit || d.state == DataSetState::Insert) {
    d.state = DataSetState::Browse;
  }
}

void RecordSet::deleteCurrent() {
  Impl& d = *impl_;
  d.requireActive();
  if (d.state == DataSetState::Insert) {  // the row was never added: dropping it is all
    d.state = DataSetState::Browse;
    return;
  }
  d.state = DataSetState::Browse;
  if (d.cur == kNone) throw Exception("table " + d.name + " is empty");
  d.deleteCurrent();
}

// --- Field access ---------------------------------------------------------------------------

std::string_view RecordSet::text(int field) const {
  const Impl& d = *impl_;
  d.requireActive();
  const Column& c = d.column(field);
  if (c.type != FieldType::String) d.wrongType(field, "a text");
  const std::uint32_t* cells = d.currentCells();
  return cells ? d.pool.text(cells[c.word]) : std::string_view{};
}

std::int32_t RecordSet::integer(int field) const {
  const Impl& d = *impl_;
  d.requireActive();
  const Column& c = d.column(field);
  if (c.type == FieldType::String) d.wrongType(field, "a number");
  const std::uint32_t* cells = d.currentCells();
  if (!cells) return 0;
  if (c.type == FieldType::Integer) return static_cast<std::int32_t>(cells[c.word]);
  double v;
  std::memcpy(&v, cells + c.word, sizeof v);
  // Number columns are read as integers by rounding, half to even.
  double r = std::nearbyint(v);
  if (!(r >= std::numeric_limits<std::int32_t>::min() &&
        r <= std::numeric_limits<std::int32_t>::max())) {
    throw EConvertError("value " + std::to_string(v) + " of column " +
                        d.fields[static_cast<std::size_t>(field)].name + " of table " + d.name +
                        " is not a 32-bit integer");
  }
  return static_cast<std::int32_t>(r);
}

double RecordSet::number(int field) const {
  const Impl& d = *impl_;
  d.requireActive();
  const Column& c = d.column(field);
  if (c.type == FieldType::String) d.wrongType(field, "a number");
  const std::uint32_t* cells = d.currentCells();
  if (!cells) return 0;
  if (c.type == FieldType::Integer) return static_cast<std::int32_t>(cells[c.word]);
  double v;
  std::memcpy(&v, cells + c.word, sizeof v);
  return v;
}

void RecordSet::setText(int field, std::string_view value) {
  Impl& d = *impl_;
  d.requireEditing();
  const Column& c = d.column(field);
  if (c.type != FieldType::String) d.wrongType(field, "a text");
  d.buffer[c.word] = d.internText(field, value);
}

void RecordSet::setInteger(int field, std::int32_t value) {
  Impl& d = *impl_;
  d.requireEditing();
  const Column& c = d.column(field);
  if (c.type == FieldType::Integer) {
    d.buffer[c.word] = static_cast<std::uint32_t>(value);
  } else if (c.type == FieldType::Double) {
    double v = value;
    std::memcpy(d.buffer.data() + c.word, &v, sizeof v);
  } else {
    d.wrongType(field, "a number");
  }
}

void RecordSet::setNumber(int field, double value) {
  Impl& d = *impl_;
  d.requireEditing();
  const Column& c = d.column(field);
  if (c.type != FieldType::Double) d.wrongType(field, "a floating-point");
  std::memcpy(d.buffer.data() + c.word, &value, sizeof value);
}

// --- Keyed look-up --------------------------------------------------------------------------

RecordSet::KeyHandle RecordSet::prepareKey(std::string_view keyList) {
  Impl& d = *impl_;
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    if (d.keys[i].list == keyList) return static_cast<KeyHandle>(i);
  }
  KeyDef k;
  k.list = std::string(keyList);
  std::string_view rest = keyList;
  while (true) {
    std::size_t semi = rest.find(';');
    std::string_view part = rest.substr(0, semi);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (part.empty()) {
      throw Exception("key list \"" + k.list + "\" of table " + d.name + " has an empty name");
    }
    int field = fieldIndex(part);
    const Column& c = d.columns[static_cast<std::size_t>(field)];
    if (c.type != FieldType::String) {
      throw Exception("key column " + d.fields[static_cast<std::size_t>(field)].name +
                      " of table " + d.name + " is not a text column");
    }
    k.fields.push_back(field);
    k.words.push_back(c.word);
    k.widths.push_back(c.width);
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
  // The same columns under another spelling share one index.
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    if (d.keys[i].fields == k.fields) return static_cast<KeyHandle>(i);
  }
  if (d.keys.size() == kMaxKeys) {
    throw Exception("table " + d.name + " has more than " + std::to_string(kMaxKeys) + " keys");
  }
  d.keys.push_back(std::move(k));
  return static_cast<KeyHandle>(d.keys.size() - 1);
}

bool RecordSet::locate(KeyHandle key, std::span<const std::string_view> values) {
  Impl& d = *impl_;
  d.requireActive();
  if (key < 0 || static_cast<std::size_t>(key) >= d.keys.size()) {
    throw Exception("table " + d.name + " has no key number " + std::to_string(key));
  }
  d.checkBrowse(*this);
  std::uint32_t row = d.indexLocate(d.keys[static_cast<std::size_t>(key)], values);
  if (row == kNone) return false;
  d.cur = row;
  d.bof = false;
  d.eof = false;
  return true;
}

bool RecordSet::locate(std::string_view keyList, std::span<const std::string_view> values) {
  return locate(prepareKey(keyList), values);
}

// --- Change log and data packets ------------------------------------------------------------

nlohmann::json RecordSet::columnsJson() const {
  json columns = json::array();
  for (const FieldDef& f : impl_->fields) {
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

int RecordSet::changeCount() const { return impl_->changeCount; }

nlohmann::json RecordSet::delta() const {
  const Impl& d = *impl_;
  json changes = json::array();
  for (std::uint32_t id : d.changed) {
    bool live = d.rows.isLive(id);
    if (id >= d.baseLimit) {
      if (live) changes.push_back({{"op", "insert"}, {"row", d.rowJson(d.rows.row(id))}});
      continue;
    }
    const json old = d.rowJson(d.baseValues.at(id).data());
    if (live) {
      changes.push_back({{"op", "update"}, {"old", old}, {"row", d.rowJson(d.rows.row(id))}});
    } else {
      changes.push_back({{"op", "delete"}, {"old", old}});
    }
  }
  return json{{"columns", columnsJson()}, {"changes", std::move(changes)}};
}

void RecordSet::writeDelta(std::string& out) const {
  const Impl& d = *impl_;
  out += "{\"columns\":";
  out += columnsJson().dump();
  out += ",\"changes\":[";
  bool first = true;
  for (std::uint32_t id : d.changed) {
    bool live = d.rows.isLive(id);
    bool inserted = id >= d.baseLimit;
    if (inserted && !live) continue;
    if (!first) out.push_back(',');
    first = false;
    if (inserted) {
      out += "{\"op\":\"insert\",\"row\":";
      d.writeRowJson(out, d.rows.row(id));
    } else {
      out += live ? "{\"op\":\"update\",\"old\":" : "{\"op\":\"delete\",\"old\":";
      d.writeRowJson(out, d.baseValues.at(id).data());
      if (live) {
        out += ",\"row\":";
        d.writeRowJson(out, d.rows.row(id));
      }
    }
    out.push_back('}');
  }
  out += "]}";
}

void RecordSet::mergeChangeLog() { impl_->clearLog(); }

void RecordSet::setLogChanges(bool on) {
  impl_->logChanges = on;
  impl_->clearLog();
}

bool RecordSet::logChanges() const { return impl_->logChanges; }

void RecordSet::setAfterPost(AfterPost handler) { impl_->afterPost = std::move(handler); }

}  // namespace zeb::platform::data
