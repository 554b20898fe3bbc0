#include "platform/data/record_set.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/data/string_pool.h"

namespace zeb::platform::data {

namespace {

using json = nlohmann::json;

// Room enough for any number that writeJsonNumber() writes.
constexpr std::size_t kNumberRoom = 32;

// The shortest text that reads back as "value" (std::to_chars), at "p"; answers its end.
char* writeJsonNumber(char* p, double value) {
  // Counts and byte sums are whole numbers, which integer formatting writes several times faster.
  // The shortest form of a whole number is its digits unless five or more trailing zeros make the
  // exponent form shorter ("1e+05"); those, fractions, -0 and the huge go the general way.
  if (value > -9007199254740992.0 && value < 9007199254740992.0) {
    auto whole = static_cast<std::int64_t>(value);
    if (static_cast<double>(whole) == value && whole % 100000 != 0) {
      return std::to_chars(p, p + kNumberRoom, whole).ptr;
    }
    if (whole == 0 && value == 0 && !std::signbit(value)) {
      *p = '0';
      return p + 1;
    }
  }
  return std::to_chars(p, p + kNumberRoom, value).ptr;
}

// Appends to a string through a raw pointer. The string is grown ahead in large steps and cut to
// what was written by finish(), so that writing a value costs a bounds check and a copy rather
// than a call that checks and grows for every piece.
class JsonOut {
 public:
  JsonOut(std::string& out, std::size_t expect) : out_(out) { extend(out.size(), expect); }

  // Makes room for "n" more bytes; the put functions below need it first.
  void need(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) extend(written(), std::max(n, out_.size()));
  }
  void put(char c) { *p_++ = c; }
  void put(const char* text, std::size_t n) {
    std::memcpy(p_, text, n);
    p_ += n;
  }
  void putNumber(double value) { p_ = writeJsonNumber(p_, value); }
  void putNumber(std::int32_t value) { p_ = std::to_chars(p_, p_ + kNumberRoom, value).ptr; }
  void literal(std::string_view text) {
    need(text.size());
    put(text.data(), text.size());
  }
  // A text that needs escaping, written by the common writer.
  void escaped(std::string_view text) {
    finish();
    appendJsonString(out_, text);
    extend(out_.size(), text.size());
  }
  // Cuts the string to what was written.
  void finish() { out_.resize(written()); }
  std::size_t written() const { return static_cast<std::size_t>(p_ - out_.data()); }

 private:
  void extend(std::size_t at, std::size_t room) {
    out_.resize(at + std::max<std::size_t>(room, 4096));
    p_ = out_.data() + at;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

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

// How many rows ahead of a source's current row a keyed look-up fetches the index slot: far
// enough for the fetch to arrive in time, near enough that it is still cached when used.
constexpr std::size_t kLookAhead = 8;

struct KeyDef {
  std::string list;
  std::vector<int> fields;
  std::vector<std::uint32_t> words;
  std::vector<std::size_t> widths;
  std::unique_ptr<Index> index;
  // Look-ups keyed by another table's rows: that table, its row of the last look-up, and the
  // row kLookAhead places further on whose index slot has been fetched (kNone: none).
  const void* aheadSource = nullptr;
  std::uint64_t aheadContent = 0;
  std::uint32_t lastRow = kNone;
  std::uint32_t aheadRow = kNone;
};

// A key's hash is built from the hashes of its texts, so that a text's hash, once known, serves
// every key and every row that holds it.
std::uint64_t keyStart() { return kHashSeed; }
std::uint64_t keyAdd(std::uint64_t h, std::uint32_t hash) { return detail::mixWord(h, hash); }
std::uint32_t keyFinish(std::uint64_t h) { return shortHash(finishHash(h)); }
std::uint32_t textHash(std::string_view text) { return shortHash(foldedHash(text)); }

// What a table has learnt about the texts of another table (its source) whose cells it copies or
// looks up: per source text id, the id of the same bytes here, the fold id of its class here, and
// its hash. A direct-mapped cache by source id: texts that repeat (addresses, dates) are then
// found with one array read, and a source of millions of distinct texts costs a bounded table.
constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
struct TextLink {
  std::uint32_t source = kUnknown;  // the source id this entry is for
  std::uint32_t own = kUnknown;     // the id of the same (cut) bytes here, once stored here
  std::uint32_t fold = kUnknown;    // the fold id of its class here, once found here
  std::uint32_t hash = 0;
};
constexpr std::size_t kMaxLinks = std::size_t{1} << 16;

struct SourceTexts {
  const void* table = nullptr;
  std::uint64_t content = 0;  // the source's content when the links were made
  std::size_t width = 0;      // source texts are cut to this many characters; 0: they always fit
  std::vector<TextLink> links;
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

std::uint64_t nextContent() {
  static std::atomic<std::uint64_t> counter{0};
  return ++counter;
}

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
  void resetContent(StringPool newPool, Rows newRows) {
    pool = std::move(newPool);
    rows = std::move(newRows);
    content = nextContent();
    sources.clear();
    std::vector<std::uint32_t>().swap(hashOf);
    for (ColumnCache& c : caches) c = ColumnCache{};  // also forgets distinct columns
    for (KeyDef& k : keys) k.index.reset();
    fenwick.clear();
    fenwick.shrink_to_fit();
    fenwickBuilt = false;
    clearLog();
    std::vector<std::uint32_t>().swap(changed);
    std::vector<std::uint32_t>().swap(baseCells);
    std::vector<std::uint64_t>().swap(logged);
    logged.resize((std::size_t{baseLimit} + 63) / 64);
    std::vector<JsonText>().swap(jsonTexts);
    state = active ? DataSetState::Browse : DataSetState::Inactive;
    cur = rows.head;
    bof = true;
    eof = cur == kNone;
  }
  // Keeps the log's memory for the next batch; resetContent() gives it back.
  void clearLog() {
    for (std::uint32_t id : changed) {
      if (id < baseLimit) logged[id >> 6] &= ~(std::uint64_t{1} << (id & 63));
    }
    baseLimit = rows.count;
    logged.resize((std::size_t{baseLimit} + 63) / 64);
    changed.clear();
    baseCells.clear();
    changeCount = 0;
  }

  std::uint32_t internText(int field, std::string_view value) {
    const Column& c = columns[static_cast<std::size_t>(field)];
    if (value.size() > c.width) value = utf8Prefix(value, c.width);
    if (value.empty()) return StringPool::kEmpty;
    ColumnCache& cache = caches[static_cast<std::size_t>(field)];
    if (sameBytes(value, std::string_view(cache.data, cache.size))) return cache.id;
    return internNew(field, value, foldedHash(value));
  }
  // internText() past the cut and the last-text check; "hash" is foldedHash(value).
  std::uint32_t internNew(int field, std::string_view value, std::uint64_t hash) {
    ColumnCache& cache = caches[static_cast<std::size_t>(field)];
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
    std::uint64_t bit = std::uint64_t{1} << (id & 63);
    if (logged[id >> 6] & bit) return;
    logged[id >> 6] |= bit;
    const std::uint32_t* cells = rows.row(id);
    baseCells.insert(baseCells.end(), cells, cells + cellWords);
    changed.push_back(id);
    ++changeCount;
  }

  // --- Indexes ------------------------------------------------------------------------------
  // The hash of a stored text, remembered by id: the rows of a large table share few distinct
  // texts, and reading them again to hash would miss the cache. Texts stored without a look-up
  // (a column of distinct texts) are not remembered: each is hashed about once anyway.
  std::uint32_t storedHash(std::uint32_t id) {
    if (id < hashOf.size() && hashOf[id] != 0) return hashOf[id] - 1;
    std::uint32_t hash = textHash(pool.text(id));
    if (hash == kUnknown || pool.fold(id) == StringPool::kNoFold) return hash;
    if (id >= hashOf.size()) hashOf.resize(std::max<std::size_t>(pool.size(), id + 1), 0);
    hashOf[id] = hash + 1;
    return hash;
  }
  std::uint32_t rowKeyHash(const KeyDef& k, const std::uint32_t* cells) {
    std::uint64_t h = keyStart();
    for (std::uint32_t w : k.words) h = keyAdd(h, storedHash(cells[w]));
    return keyFinish(h);
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
  // a third of them. Hashes are not kept, so they are computed again from the tail rows, which
  // are read in table order: in slot order every read would be a cache miss in a large table.
  void rehashIndex(KeyDef& k) {
    Index& x = *k.index;
    std::vector<std::uint64_t> isTail((std::size_t{rows.count} + 63) / 64, 0);
    std::size_t groups = 0;
    for (std::uint32_t slot : x.slots) {
      if (slot == Index::kFree || slot == Index::kDeleted) continue;
      std::uint32_t tail = slot & Index::kIdMask;
      isTail[tail >> 6] |= std::uint64_t{1} << (tail & 63);
      ++groups;
    }
    x.reset(Index::capacityFor(groups * 2));
    for (std::size_t w = 0; w < isTail.size(); ++w) {
      for (std::uint64_t bits = isTail[w]; bits != 0; bits &= bits - 1) {
        auto tail =
            static_cast<std::uint32_t>(w * 64 + static_cast<unsigned>(std::countr_zero(bits)));
        x.place(rowKeyHash(k, rows.row(tail)), tail);
      }
    }
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
    std::uint64_t h = keyStart();
    for (std::size_t i = 0; i < values.size(); ++i) h = keyAdd(h, textHash(cut(i)));
    return probe(k, keyFinish(h), [&](const std::uint32_t* cells) {
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (!foldedEqual(pool.text(cells[k.words[i]]), cut(i))) return false;
      }
      return true;
    });
  }

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

  // --- Texts of other tables ----------------------------------------------------------------
  SourceTexts& sourceTexts(const Impl& source, std::size_t width) {
    if (!sources.empty()) {  // the common case: one source, whose texts all fit
      SourceTexts& last = *sources.back();
      if (last.table == &source && last.width == width && last.content == source.content) {
        return last;
      }
    }
    for (auto& st : sources) {
      if (st->table != &source || st->width != width) continue;
      if (st->content != source.content) {
        st->content = source.content;
        st->links.clear();
      }
      return *st;
    }
    // Few tables feed another; forget the oldest other one rather than grow without end.
    if (sources.size() >= 8) {
      auto other = std::find_if(sources.begin(), sources.end(),
                                [&](const auto& old) { return old->table != &source; });
      if (other != sources.end()) sources.erase(other);
    }
    sources.push_back(std::make_unique<SourceTexts>());
    SourceTexts& st = *sources.back();
    st.table = &source;
    st.content = source.content;
    st.width = width;
    return st;
  }
  // The width that texts of a source column are cut to here: none when they always fit.
  static std::size_t cutWidth(const Column& source, std::size_t width) {
    return source.width <= width ? 0 : width;
  }
  static std::string_view sourceText(const SourceTexts& st, const Impl& source, std::uint32_t id) {
    std::string_view text = source.pool.text(id);
    return st.width != 0 && text.size() > st.width ? utf8Prefix(text, st.width) : text;
  }
  TextLink& link(SourceTexts& st, const Impl& source, std::uint32_t id) {
    if (st.links.size() < kMaxLinks && st.links.size() < source.pool.size()) {
      st.links.assign(std::clamp(std::bit_ceil(source.pool.size()), std::size_t{64}, kMaxLinks),
                      TextLink{});
    }
    TextLink& l = st.links[id & (st.links.size() - 1)];
    if (l.source != id) l = TextLink{id, kUnknown, kUnknown, textHash(sourceText(st, source, id))};
    return l;
  }

  const Column& sourceTextColumn(const Impl& source, int field) const {
    source.requireActive();
    const Column& c = source.column(field);
    if (c.type != FieldType::String) source.wrongType(field, "a text");
    return c;
  }

  void setTextFrom(int field, const Impl& source, int sourceField) {
    requireEditing();
    const Column& c = column(field);
    if (c.type != FieldType::String) wrongType(field, "a text");
    const Column& sc = sourceTextColumn(source, sourceField);
    const std::uint32_t* cells = source.currentCells();
    std::uint32_t id = cells ? cells[sc.word] : StringPool::kEmpty;
    if (id == StringPool::kEmpty) {
      buffer[c.word] = StringPool::kEmpty;
      return;
    }
    SourceTexts& st = sourceTexts(source, cutWidth(sc, c.width));
    TextLink& l = link(st, source, id);
    if (l.own == kUnknown) {
      // Only texts met for the first time come here, so they would look distinct to the
      // column's count of repeats; a text that repeats in its source is simply interned.
      std::string_view text = sourceText(st, source, id);
      std::uint64_t hash = foldedHash(text);
      l.own = source.pool.fold(id) != StringPool::kNoFold ? pool.intern(text, hash)
                                                          : internNew(field, text, hash);
    }
    buffer[c.word] = l.own;
  }

  // One key column of a look-up keyed by a source row.
  struct SourceValue {
    SourceTexts* texts;
    std::uint32_t word;  // the source's cell
    std::uint32_t id;    // the source's text id
    std::uint32_t own;   // the id of the same bytes here, or kUnknown
    std::uint32_t fold;  // the fold id of its class here, or kUnknown when there is none
  };
  std::vector<SourceValue> sourceValues;

  std::uint32_t indexLocateFrom(KeyDef& k, const Impl& source, std::span<const int> sourceFields) {
    if (sourceFields.size() != k.words.size()) {
      throw Exception("key " + k.list + " of table " + name + " has " +
                      std::to_string(k.words.size()) + " columns, but " +
                      std::to_string(sourceFields.size()) + " source columns were given");
    }
    sourceValues.resize(sourceFields.size());
    for (std::size_t i = 0; i < sourceFields.size(); ++i) {
      const Column& sc = sourceTextColumn(source, sourceFields[i]);
      sourceValues[i].texts = &sourceTexts(source, cutWidth(sc, k.widths[i]));
      sourceValues[i].word = sc.word;
    }
    if (!k.index) buildIndex(k);
    const std::uint32_t* cells = source.currentCells();
    std::uint64_t h = keyStart();
    bool absent = false;
    for (SourceValue& v : sourceValues) {
      v.id = cells ? cells[v.word] : StringPool::kEmpty;
      TextLink& l = link(*v.texts, source, v.id);
      if (l.fold == kUnknown) {
        if (l.own != kUnknown && pool.fold(l.own) != StringPool::kNoFold) {
          l.fold = pool.fold(l.own);
        } else {
          // Not remembered when absent: the class may come in with a later row.
          l.fold = pool.findFold(sourceText(*v.texts, source, v.id), l.hash);
        }
      }
      v.own = l.own;
      v.fold = l.fold;
      absent = absent || v.fold == kUnknown;
      h = keyAdd(h, l.hash);
    }
    if (source.rows.isLive(source.cur)) prefetchAhead(k, source);
    // A class that no text here has matches no row, unless some texts have no fold id.
    if (absent && pool.allFolded()) return kNone;

    return probe(k, keyFinish(h), [&](const std::uint32_t* row) {
      for (std::size_t i = 0; i < sourceValues.size(); ++i) {
        const SourceValue& v = sourceValues[i];
        std::uint32_t cell = row[k.words[i]];
        if (cell == v.own) continue;
        std::uint32_t fold = pool.fold(cell);
        bool equal = fold != StringPool::kNoFold
                         ? v.fold != kUnknown && fold == v.fold
                         : foldedEqual(pool.text(cell), sourceText(*v.texts, source, v.id));
        if (!equal) return false;
      }
      return true;
    });
  }

  // Fetches the index slots that the look-ups of the source's next rows will read, where a
  // large table's look-up would otherwise wait. Only while the source is walked forward (or
  // consumed from its front) one row per look-up: then the row ahead moves on by one each time.
  void prefetchAhead(KeyDef& k, const Impl& source) {
    std::uint32_t cur = source.cur;
    bool sameSource = k.aheadSource == &source && k.aheadContent == source.content;
    bool walking =
        sameSource && k.lastRow != kNone && cur > k.lastRow && cur - k.lastRow <= kLookAhead;
    k.aheadSource = &source;
    k.aheadContent = source.content;
    k.lastRow = cur;
    if (!walking) {
      k.aheadRow = kNone;
      return;
    }
    std::uint32_t ahead = k.aheadRow;
    std::size_t steps = 1;
    if (ahead == kNone || ahead <= cur || ahead - cur > 2 * kLookAhead ||
        !source.rows.isLive(ahead)) {
      ahead = cur;  // the walk begins: fetch for every row up to kLookAhead
      steps = kLookAhead;
    }
    const Index& x = *k.index;
    for (std::size_t step = 0; step < steps; ++step) {
      ahead = source.rows.next(ahead);
      if (ahead == kNone) break;
      __builtin_prefetch(&x.slots[sourceRowHash(source, ahead) & x.mask]);
    }
    k.aheadRow = ahead;
  }
  // The key hash of a source row, for the look-up under way (sourceValues).
  std::uint32_t sourceRowHash(const Impl& source, std::uint32_t id) {
    const std::uint32_t* cells = source.rows.row(id);
    std::uint64_t h = keyStart();
    for (const SourceValue& v : sourceValues)
      h = keyAdd(h, link(*v.texts, source, cells[v.word]).hash);
    return keyFinish(h);
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
  void writeRowJson(JsonOut& out, const std::uint32_t* cells) const {
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

  const JsonText& jsonText(std::uint32_t id) const {
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
  void prefetchTextEntries(const std::uint32_t* cells) const {
    for (const Column& c : columns) {
      if (c.type == FieldType::String && cells[c.word] < jsonTexts.size()) {
        __builtin_prefetch(&jsonTexts[cells[c.word]]);
      }
    }
  }
  void prefetchTextBytes(const std::uint32_t* cells) const {
    for (const Column& c : columns) {
      if (c.type == FieldType::String && cells[c.word] < jsonTexts.size()) {
        __builtin_prefetch(jsonTexts[cells[c.word]].data);
      }
    }
  }
  // The cells of a changed row, or null when it is gone (its block too, perhaps).
  const std::uint32_t* liveRow(std::uint32_t id) const {
    return rows.isLive(id) ? rows.row(id) : nullptr;
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
  d.columnsText = layoutJson(d.fields).dump();
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
  // A loop that consumes the table from its front, or walks to its end, asks at the ends: there
  // the answer needs no position tree, which would cost a pass over the table to build.
  if (d.cur == d.rows.head) return 1;
  if (d.cur == d.rows.tail) return d.rows.live;
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

void RecordSet::setText(int field, const RecordSet& source, int sourceField) {
  impl_->setTextFrom(field, *source.impl_, sourceField);
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

bool RecordSet::locate(KeyHandle key, const RecordSet& source, std::span<const int> sourceFields) {
  Impl& d = *impl_;
  d.requireActive();
  if (key < 0 || static_cast<std::size_t>(key) >= d.keys.size()) {
    throw Exception("table " + d.name + " has no key number " + std::to_string(key));
  }
  d.checkBrowse(*this);
  std::uint32_t row =
      d.indexLocateFrom(d.keys[static_cast<std::size_t>(key)], *source.impl_, sourceFields);
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

int RecordSet::changeCount() const { return impl_->changeCount; }

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

void RecordSet::mergeChangeLog() { impl_->clearLog(); }

void RecordSet::setLogChanges(bool on) {
  impl_->logChanges = on;
  impl_->clearLog();
}

bool RecordSet::logChanges() const { return impl_->logChanges; }

void RecordSet::setAfterPost(AfterPost handler) { impl_->afterPost = std::move(handler); }

}  // namespace zeb::platform::data
