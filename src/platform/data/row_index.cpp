// Keyed look-up: the indexes behind key lists, kept current by posts and deletions.
#include <algorithm>
#include <bit>

#include "platform/data/record_set_impl.h"

namespace zeb::platform::data {

// --- Indexes ------------------------------------------------------------------------------
// The hash of a stored text, remembered by id: the rows of a large table share few distinct
// texts, and reading them again to hash would miss the cache. Texts stored without a look-up
// (a column of distinct texts) are not remembered: each is hashed about once anyway.
std::uint32_t RecordSet::Impl::storedHash(std::uint32_t id) {
  if (id < hashOf.size() && hashOf[id] != 0) return hashOf[id] - 1;
  std::uint32_t hash = textHash(pool.text(id));
  if (hash == kUnknown || pool.fold(id) == StringPool::kNoFold) return hash;
  if (id >= hashOf.size()) hashOf.resize(std::max<std::size_t>(pool.size(), id + 1), 0);
  hashOf[id] = hash + 1;
  return hash;
}

std::uint32_t RecordSet::Impl::rowKeyHash(const KeyDef& k, const std::uint32_t* cells) {
  std::uint64_t h = keyStart();
  for (std::uint32_t w : k.words) h = keyAdd(h, storedHash(cells[w]));
  return keyFinish(h);
}

bool RecordSet::Impl::sameKey(const KeyDef& k, const std::uint32_t* a,
                              const std::uint32_t* b) const {
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

void RecordSet::Impl::indexInsert(KeyDef& k, std::uint32_t id) {
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
void RecordSet::Impl::rehashIndex(KeyDef& k) {
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

void RecordSet::Impl::indexRemove(KeyDef& k, std::uint32_t id) {
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

void RecordSet::Impl::buildIndex(KeyDef& k) {
  if (rows.count > Index::kMaxRowId + 1) {
    throw Exception("table " + name + " has too many rows for a keyed look-up");
  }
  k.index = std::make_unique<Index>(rows.live);
  k.index->next.resize(rows.count);
  for (std::uint32_t id = rows.head; id != kNone; id = rows.next(id)) indexInsert(k, id);
}

std::uint32_t RecordSet::Impl::indexLocate(KeyDef& k, std::span<const std::string_view> values) {
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

std::uint32_t RecordSet::Impl::indexLocateFrom(KeyDef& k, const Impl& source,
                                               std::span<const int> sourceFields) {
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
void RecordSet::Impl::prefetchAhead(KeyDef& k, const Impl& source) {
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
std::uint32_t RecordSet::Impl::sourceRowHash(const Impl& source, std::uint32_t id) {
  const std::uint32_t* cells = source.rows.row(id);
  std::uint64_t h = keyStart();
  for (const SourceValue& v : sourceValues)
    h = keyAdd(h, link(*v.texts, source, cells[v.word]).hash);
  return keyFinish(h);
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

}  // namespace zeb::platform::data
