// The pending file "<database>-pending": the batches that the server has accepted and answered,
// kept until they are in the table. One record per batch, appended in the order accepted:
//   header  "ZBP2", days length (4 bytes), batch number (8), batch length (8)
//   the days it replaces (day keys one after another), the batch in its compact form
//   (batch_record.h)
//   trailer batch number (8), "ZBPE", 4 bytes of zeros
// A record headed "ZBP1", written by earlier versions, holds the delta text as it came instead
// of the compact form; both are read.
// (numbers in the machine's byte order). A record is written with one call. One that a crash
// cut short lacks its trailer and ends the file's readable part; its batch was never answered.
//
// One writer per file: open(true) locks it for this process. Not thread-safe by itself: the
// writer holds mutex() while it appends or empties; loads may run beside an append.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/email_params.h"

namespace zeb::server {

// A batch with the text it is decoded from, owned: what the merger holds for each batch until
// it is in the table (its compact form, "batch" empty until the merge decodes it), and what it
// reads batches back into from the pending file.
struct AcceptedBatch {
  std::string text;  // the compact form; the delta text for a record of an earlier version
  EmailBatch batch;

  // The memory held, roughly.
  std::size_t bytes() const;
};

class PendingJournal {
 public:
  // One record, as found by scan().
  struct Record {
    std::int64_t seq;
    std::uint64_t offset;  // of the batch
    std::uint64_t deltaLength;
    std::string days;
    bool compact;  // false: the delta text of an earlier version's record
  };

  explicit PendingJournal(std::string path) : path_(std::move(path)) {}
  ~PendingJournal();
  PendingJournal(const PendingJournal&) = delete;
  PendingJournal& operator=(const PendingJournal&) = delete;

  const std::string& path() const { return path_; }
  std::mutex& mutex() { return mutex_; }
  std::uint64_t size() const { return size_; }  // the bytes of whole records

  // Opens the file; "write" also makes it and locks it for this process alone. False when it
  // is missing and "write" is not asked. Every failure here and in the methods below throws
  // EInOutError with the OS error and the path: "locking the pending file 'PATH' failed:
  // another server is using the database" when another process holds the lock, else
  // "WHAT the pending file 'PATH' failed: REASON", such as "writing a batch to the pending
  // file '/srv/stats.db-pending' failed: No space left on device".
  // A file that "write" makes, or finds with other permissions, gets "mode" (the database's, so
  // that whoever may read the database may read what is pending for it).
  bool open(bool write, unsigned mode = 0600);
  // The whole records from the start, up to the first one that is cut short or not a record.
  std::vector<Record> scan();
  // Cuts off what follows the whole records that scan() found: a record that a crash cut short.
  void dropTail();
  // Appends one record of "batch", in its compact form; answers the offset of that. On failure
  // nothing is appended.
  std::uint64_t append(std::int64_t seq, std::string_view days, std::string_view batch);
  // Empties the file.
  void empty();
  // Reads back batch "seq" (compact, or the delta text of an earlier version) and decodes it
  // into "into". Throws EInOutError "reading batch SEQ back from the pending file 'PATH'
  // failed: the file ends before the batch" when the file is too short, and "...failed: WHY"
  // when it does not decode.
  void load(std::int64_t seq, std::uint64_t offset, std::uint64_t length, bool compact,
            AcceptedBatch& into) const;

 private:
  [[noreturn]] void fail(const std::string& what, int error) const;
  bool readAt(std::uint64_t offset, void* into, std::size_t length) const;

  std::string path_;
  int fd_ = -1;
  std::mutex mutex_;
  std::uint64_t size_ = 0;
};

}  // namespace zeb::server
