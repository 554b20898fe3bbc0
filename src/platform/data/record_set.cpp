#include "platform/data/record_set.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/data/record_set_impl.h"

namespace zeb::platform::data::internal {

std::uint64_t nextContent() {
  static std::atomic<std::uint64_t> counter{0};
  return ++counter;
}

}  // namespace zeb::platform::data::internal

namespace zeb::platform::data {

// --- Content ------------------------------------------------------------------------------

// --- Content ------------------------------------------------------------------------------
void RecordSet::Impl::resetContent(StringPool newPool, Rows newRows) {
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

// --- Positions ----------------------------------------------------------------------------

void RecordSet::Impl::buildFenwick() {
  fenwick.assign(rows.count, 0);
  for (std::size_t i = 0; i < fenwick.size(); ++i) {
    if (rows.isLive(static_cast<std::uint32_t>(i))) fenwick[i] += 1;
    std::size_t parent = i | (i + 1);
    if (parent < fenwick.size()) fenwick[parent] += fenwick[i];
  }
  fenwickBuilt = true;
}

// --- Editing ------------------------------------------------------------------------------

// --- Editing ------------------------------------------------------------------------------
void RecordSet::Impl::post(RecordSet& self) {
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

void RecordSet::Impl::deleteCurrent() {
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

void RecordSet::setAfterPost(AfterPost handler) { impl_->afterPost = std::move(handler); }

}  // namespace zeb::platform::data
