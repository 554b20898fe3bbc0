#include "server/batch_record.h"

#include <cstdint>
#include <cstring>

#include "platform/core/exceptions.h"

namespace zeb::server {

namespace {

constexpr std::size_t kRowFixedBytes = 2 * kTextColumnCount + 2 * sizeof(double);

std::size_t rowBytes(const EmailRow& row) {
  std::size_t bytes = kRowFixedBytes;
  for (std::string_view text : row.texts) {
    if (text.size() > UINT16_MAX) throw platform::Exception("a text of the batch is too long");
    bytes += text.size();
  }
  return bytes;
}

// The record is sized first and then filled in place: appending field by field cost more than
// the bytes themselves.
template <typename T>
char* put(char* at, T value) {
  std::memcpy(at, &value, sizeof value);
  return at + sizeof value;
}

char* putRow(char* at, const EmailRow& row) {
  for (std::string_view text : row.texts) {
    at = put(at, static_cast<std::uint16_t>(text.size()));
    if (!text.empty()) std::memcpy(at, text.data(), text.size());
    at += text.size();
  }
  at = put(at, row.volume);
  return put(at, row.count);
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
  std::size_t bytes = sizeof(std::uint32_t) + batch.changes.size();
  for (const EmailChange& change : batch.changes) {
    if (change.op != ChangeOp::Insert) bytes += rowBytes(change.old);
    if (change.op != ChangeOp::Delete) bytes += rowBytes(change.row);
  }
  out.resize(bytes);
  char* at = put(out.data(), static_cast<std::uint32_t>(batch.changes.size()));
  for (const EmailChange& change : batch.changes) {
    at = put(at, static_cast<std::uint8_t>(change.op));
    if (change.op != ChangeOp::Insert) at = putRow(at, change.old);
    if (change.op != ChangeOp::Delete) at = putRow(at, change.row);
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
  if (count > in.left() / kSmallestChange)
    throw platform::Exception("the batch record is malformed");
  batch.changes.resize(count);
  for (EmailChange& change : batch.changes) {
    auto op = in.take<std::uint8_t>();
    if (op > static_cast<std::uint8_t>(ChangeOp::Delete)) {
      throw platform::Exception("the batch record is malformed");
    }
    change.op = static_cast<ChangeOp>(op);
    // A row read sets every field; only the row that the change lacks is cleared.
    if (change.op != ChangeOp::Insert) {
      in.row(change.old);
    } else {
      change.old = {};
    }
    if (change.op != ChangeOp::Delete) {
      in.row(change.row);
    } else {
      change.row = {};
    }
  }
  if (!in.atEnd()) throw platform::Exception("the batch record is malformed");
}

}  // namespace zeb::server
