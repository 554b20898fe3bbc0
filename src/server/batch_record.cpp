#include "server/batch_record.h"

#include <cstdint>
#include <cstring>

#include "platform/core/exceptions.h"

namespace zeb::server {

namespace {

template <typename T>
void put(std::string& out, T value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof value);
}

void putRow(std::string& out, const EmailRow& row) {
  for (std::string_view text : row.texts) {
    if (text.size() > UINT16_MAX) throw platform::Exception("a text of the batch is too long");
    put(out, static_cast<std::uint16_t>(text.size()));
    out.append(text);
  }
  put(out, row.volume);
  put(out, row.count);
}

class Reader {
 public:
  explicit Reader(std::string_view record) : at_(record.data()), end_(at_ + record.size()) {}

  template <typename T>
  T take() {
    need(sizeof(T));
    T value;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  void row(EmailRow& row) {
    for (std::string_view& text : row.texts) {
      auto length = take<std::uint16_t>();
      need(length);
      text = std::string_view(at_, length);
      at_ += length;
    }
    row.volume = take<double>();
    row.count = take<double>();
  }
  bool atEnd() const { return at_ == end_; }
  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

 private:
  void need(std::size_t bytes) const {
    if (bytes > left()) throw platform::Exception("the batch record is malformed");
  }
  const char* at_;
  const char* end_;
};

}  // namespace

void encodeBatchRecord(const EmailBatch& batch, std::string& out) {
  out.clear();
  put(out, static_cast<std::uint32_t>(batch.changes.size()));
  for (const EmailChange& change : batch.changes) {
    put(out, static_cast<std::uint8_t>(change.op));
    if (change.op != ChangeOp::Insert) putRow(out, change.old);
    if (change.op != ChangeOp::Delete) putRow(out, change.row);
  }
}

void decodeBatchRecord(std::string_view record, EmailBatch& batch) {
  Reader in(record);
  batch.arena.clear();
  batch.changes.clear();
  auto count = in.take<std::uint32_t>();
  // Each change takes at least an op and one row of empty texts: a count past what the
  // record can hold is not believed (nor reserved for).
  constexpr std::size_t kSmallestChange = 1 + 2 * kTextColumnCount + 16;
  if (count > in.left() / kSmallestChange) throw platform::Exception("the batch record is malformed");
  batch.changes.resize(count);
  for (EmailChange& change : batch.changes) {
    auto op = in.take<std::uint8_t>();
    if (op > static_cast<std::uint8_t>(ChangeOp::Delete)) {
      throw platform::Exception("the batch record is malformed");
    }
    change.op = static_cast<ChangeOp>(op);
    change.old = {};
    change.row = {};
    if (change.op != ChangeOp::Insert) in.row(change.old);
    if (change.op != ChangeOp::Delete) in.row(change.row);
  }
  if (!in.atEnd()) throw platform::Exception("the batch record is malformed");
}

}  // namespace zeb::server
