// The compact form of an accepted batch: what the pending file keeps and what the merger holds
// in memory until the batch is in the table. It is a third of the size of the delta text as it
// came and a tenth of the batch decoded, and reading it back is a walk over lengths, not a
// parse: the merger, which reads every batch again, spends its time writing the table.
//
// Layout (numbers in the machine's byte order, as the rest of the pending file):
//   change count (4 bytes), then per change: its ChangeOp (1 byte), then the old row for an
//   update or a delete, then the row for an insert or an update; a row is its nine texts, each
//   a length (2 bytes) and its UTF-8 bytes, then VRVOLDADOS and QTEMAIL (8 bytes each).
#pragma once

#include <string>
#include <string_view>

#include "server/email_params.h"

namespace zeb::server {

// Writes "batch" into "out" (replacing what it held). Texts are never longer than 65535 bytes:
// the decoder has checked their widths.
void encodeBatchRecord(const EmailBatch& batch, std::string& out);

// Reads a record written by encodeBatchRecord() into "batch", whose views then point into
// "record". Throws Exception "the batch record is malformed" when it is not one, whatever its
// bytes; never reads past "record".
void decodeBatchRecord(std::string_view record, EmailBatch& batch);

}  // namespace zeb::server
