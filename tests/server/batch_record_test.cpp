#include "server/batch_record.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/core/exceptions.h"
#include "server/postgres_tables.h"

namespace zeb::server {
namespace {

EmailRow row(std::string_view origin, double volume) {
  EmailRow r;
  r.texts = {"0001", origin, "dest@x.com", "2025", "12", "05", "6\u00b0Bim", "2\u00b0Sem",
             "4\u00b0Tri"};
  r.volume = volume;
  r.count = 1;
  return r;
}

// Every kind of change, texts empty, long and not ASCII, numbers past 32 bits: read back as
// written. Any record cut short, grown or with an unknown change throws, and never reads past it.
TEST(BatchRecordTest, ReadsBackWhatWasWrittenAndRefusesAnythingElse) {
  const std::string longText(300, 'x');
  EmailBatch batch;
  batch.changes.push_back({ChangeOp::Insert, {}, row("", 9007199254740991.0)});
  batch.changes.push_back({ChangeOp::Update, row("a@x.com", 1), row(longText, 2)});
  batch.changes.push_back({ChangeOp::Delete, row("\u00e7\u00e3o@x.com", 3), {}});
  std::string record;
  encodeBatchRecord(batch, record);

  EmailBatch back;
  decodeBatchRecord(record, back);
  ASSERT_EQ(back.changes.size(), batch.changes.size());
  for (std::size_t i = 0; i < batch.changes.size(); ++i) {
    const EmailChange &a = batch.changes[i], &b = back.changes[i];
    EXPECT_EQ(a.op, b.op) << i;
    for (auto [x, y] : {std::pair{&a.old, &b.old}, std::pair{&a.row, &b.row}}) {
      EXPECT_EQ(x->texts, y->texts) << i;
      EXPECT_EQ(x->volume, y->volume) << i;
      EXPECT_EQ(x->count, y->count) << i;
    }
  }

  for (std::size_t cut = 0; cut < record.size(); ++cut) {
    // A copy of just that length, so that a read past it is a read past the allocation.
    std::string shorter = record.substr(0, cut);
    EXPECT_THROW(decodeBatchRecord(shorter, back), platform::Exception) << cut;
  }
  EXPECT_THROW(decodeBatchRecord(record + "x", back), platform::Exception);
  std::string badOp = record;
  badOp[4] = 7;
  EXPECT_THROW(decodeBatchRecord(badOp, back), platform::Exception);
  std::string hugeCount = record;
  hugeCount[3] = '\x7f';
  EXPECT_THROW(decodeBatchRecord(hugeCount, back), platform::Exception);
}

// The compressed form in which PostgreSQL keeps a pending batch gives back its compact form;
// cut short, or claiming a size its bytes cannot hold, it throws and reads nothing past its end.
TEST(BatchRecordTest, ThePendingFormGivesBackTheCompactFormAndRefusesDamage) {
  EmailBatch batch;
  for (int i = 0; i < 200; ++i) {
    batch.changes.push_back({ChangeOp::Insert, {}, row("same@x.com", i)});
  }
  std::string compact, scratch, packed;
  encodeBatchRecord(batch, compact);
  pendingForm(batch, scratch, packed);
  ASSERT_TRUE(packed.starts_with(kPendingPacked));
  EXPECT_LT(packed.size(), compact.size() / 4);
  std::string_view body = std::string_view(packed).substr(kPendingPacked.size());
  std::string back;
  unpackPending(body, back);
  EXPECT_EQ(back, compact);

  for (std::size_t cut = 0; cut < body.size(); ++cut) {
    std::string shorter(body.substr(0, cut));
    EXPECT_THROW(unpackPending(shorter, back), platform::Exception) << cut;
  }
  std::string larger(body);
  larger[3] = '\x7f';
  EXPECT_THROW(unpackPending(larger, back), platform::Exception);
}

}  // namespace
}  // namespace zeb::server
