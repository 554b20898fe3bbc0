// Storing texts: each text once per table, found again by its last use or its hash, and the
// texts of another table found by their ids there.
#include <algorithm>
#include <bit>

#include "platform/data/record_set_impl.h"

namespace zeb::platform::data {

// internText() past the cut and the last-text check; "hash" is foldedHash(value).
std::uint32_t RecordSet::Impl::internNew(int field, std::string_view value, std::uint64_t hash) {
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

// --- Texts of other tables ----------------------------------------------------------------
SourceTexts& RecordSet::Impl::sourceTexts(const Impl& source, std::size_t width) {
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

TextLink& RecordSet::Impl::link(SourceTexts& st, const Impl& source, std::uint32_t id) {
  if (st.links.size() < kMaxLinks && st.links.size() < source.pool.size()) {
    st.links.assign(std::clamp(std::bit_ceil(source.pool.size()), std::size_t{64}, kMaxLinks),
                    TextLink{});
  }
  TextLink& l = st.links[id & (st.links.size() - 1)];
  if (l.source != id) l = TextLink{id, kUnknown, kUnknown, textHash(sourceText(st, source, id))};
  return l;
}

const Column& RecordSet::Impl::sourceTextColumn(const Impl& source, int field) const {
  source.requireActive();
  const Column& c = source.column(field);
  if (c.type != FieldType::String) source.wrongType(field, "a text");
  return c;
}

void RecordSet::Impl::setTextFrom(int field, const Impl& source, int sourceField) {
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

}  // namespace zeb::platform::data
