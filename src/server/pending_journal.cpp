#include "server/pending_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/core/exceptions.h"
#include "server/batch_record.h"

namespace zeb::server {

namespace {

struct Header {
  char magic[4];
  std::uint32_t daysLength;
  std::int64_t seq;
  std::uint64_t deltaLength;
};
struct Trailer {
  std::int64_t seq;
  char magic[4];
  std::uint32_t zero;
};
static_assert(sizeof(Header) == 24 && sizeof(Trailer) == 16);
// No delta is this long (requests are refused past 64 MiB): a header saying so is not one.
constexpr std::uint64_t kRecordMax = std::uint64_t{1} << 32;

}  // namespace

std::size_t AcceptedBatch::bytes() const {
  return text.size() + batch.arena.size() + batch.changes.size() * sizeof(EmailChange);
}

PendingJournal::~PendingJournal() {
  if (fd_ >= 0) ::close(fd_);
}

void PendingJournal::fail(const std::string& what, int error) const {
  throw platform::EInOutError(error, path_, what + " the pending file");
}

bool PendingJournal::open(bool write, unsigned mode) {
  fd_ = ::open(path_.c_str(), (write ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, mode);
  if (fd_ < 0) {
    if (!write && errno == ENOENT) return false;
    fail("opening", errno);
  }
  struct stat st {};
  if (write && ::fstat(fd_, &st) == 0 && (st.st_mode & 0777) != mode) {
    // A file made by an earlier server, or under a narrower umask. Failing to widen it (a file
    // of another owner) leaves readers as they were, which is no reason to refuse batches.
    (void)::fchmod(fd_, static_cast<mode_t>(mode));
  }
  if (write && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      throw platform::EInOutError(EWOULDBLOCK, path_, "locking the pending file",
                                  "another server is using the database");
    }
    fail("locking", errno);
  }
  return true;
}

bool PendingJournal::readAt(std::uint64_t offset, void* into, std::size_t length) const {
  auto* out = static_cast<char*>(into);
  while (length > 0) {
    ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("reading", errno);
    if (n == 0) return false;
    out += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<PendingJournal::Record> PendingJournal::scan() {
  std::vector<Record> records;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) fail("reading the size of", errno);
  auto end = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t at = 0;
  size_ = 0;
  for (;;) {
    Header h{};
    if (end - at < sizeof h || !readAt(at, &h, sizeof h)) break;
    bool compact = std::memcmp(h.magic, "ZBP2", 4) == 0;
    if ((!compact && std::memcmp(h.magic, "ZBP1", 4) != 0) || h.deltaLength > kRecordMax) break;
    std::uint64_t length = sizeof h + h.daysLength + h.deltaLength + sizeof(Trailer);
    if (end - at < length) break;
    Trailer t{};
    if (!readAt(at + length - sizeof t, &t, sizeof t)) break;
    if (std::memcmp(t.magic, "ZBPE", 4) != 0 || t.seq != h.seq) break;
    Record r{h.seq, at + sizeof h + h.daysLength, h.deltaLength, std::string(h.daysLength, '\0'),
             compact};
    if (!readAt(at + sizeof h, r.days.data(), r.days.size())) break;
    records.push_back(std::move(r));
    at += length;
    size_ = at;
  }
  return records;
}

void PendingJournal::dropTail() {
  if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) fail("cutting a torn record off", errno);
}

std::uint64_t PendingJournal::append(std::int64_t seq, std::string_view days,
                                     std::string_view batch) {
  std::string_view delta = batch;
  Header h{{'Z', 'B', 'P', '2'}, static_cast<std::uint32_t>(days.size()), seq, delta.size()};
  Trailer t{seq, {'Z', 'B', 'P', 'E'}, 0};
  iovec parts[4] = {{&h, sizeof h},
                    {const_cast<char*>(days.data()), days.size()},
                    {const_cast<char*>(delta.data()), delta.size()},
                    {&t, sizeof t}};
  std::uint64_t length = sizeof h + days.size() + delta.size() + sizeof t;
  std::uint64_t written = 0;
  int first = 0;
  while (written < length) {
    ssize_t n = ::pwritev(fd_, parts + first, 4 - first, static_cast<off_t>(size_ + written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = n < 0 ? errno : EIO;
      // Whatever part of the record got written is cut off again: the batch is refused whole.
      if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
        // Left torn: the next start cuts it off, as after a crash.
      }
      fail("writing a batch to", error);
    }
    written += static_cast<std::uint64_t>(n);
    // Move past what was written, for the rare call that writes only a part.
    auto left = static_cast<std::size_t>(n);
    while (first < 4 && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < 4) {
      parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  std::uint64_t deltaAt = size_ + sizeof h + days.size();
  size_ += length;
  return deltaAt;
}

void PendingJournal::empty() {
  if (::ftruncate(fd_, 0) != 0) fail("emptying", errno);
  size_ = 0;
}

void PendingJournal::load(std::int64_t seq, std::uint64_t offset, std::uint64_t length,
                          bool compact, AcceptedBatch& into) const {
  into.text.resize(length);
  const std::string what = "reading batch " + std::to_string(seq) + " back from the pending file";
  if (!readAt(offset, into.text.data(), length)) {
    throw platform::EInOutError(0, path_, what, "the file ends before the batch");
  }
  try {
    if (compact) {
      decodeBatchRecord(into.text, into.batch);
    } else {
      decodeSetEmailParams(into.text, into.batch);
    }
  } catch (const std::exception& e) {
    throw platform::EInOutError(0, path_, what, e.what());
  }
}

}  // namespace zeb::server
