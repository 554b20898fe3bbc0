// The work file: a copy of the mail log (or of several, read as one) in the temporary directory,
// with every LF turned into CR LF and the blanks at its two ends trimmed, which the parse phase
// then reads line by line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "import/log_input.h"
#include "import/phase_ui.h"

namespace zeb::import {

// The converted text is written in batches of kBlocksPerBatch blocks (kBlockSize, in
// log_input.h), so that memory stays bounded whatever the log's size.
inline constexpr int kBlocksPerBatch = 49;

// The sizes FormatDoc works in. Tests set smaller ones, so that a small log crosses block and
// batch boundaries and overflows the blanks held back between batches, as only logs of many
// megabytes do otherwise. Each must be positive (maxHeldBack may be 0) and at most its default.
struct WorkFileSizes {
  std::size_t block = kBlockSize;        // bytes asked of the log per read
  int blocksPerBatch = kBlocksPerBatch;  // blocks converted before a write
  std::size_t maxHeldBack = 64 * 1024;   // blanks carried in memory from one batch to the next
};
void setWorkFileSizes(const WorkFileSizes& sizes);

// The line numbers that the parse phase keeps with its records and that messages name are log
// lines: the lines of the logs' texts one after the other in reading order, counted from 1, so
// that they follow the order of the log. For a single log they are its own line numbers.
//
// The log line of the work file's first line, as the last FormatDoc found it: blank lines at the
// start of the log are not copied, and messages must name the log's lines.
extern std::uint64_t workFileFirstLine;

// "PATH, line N": the log and the line in it that a log line of the last FormatDoc came from;
// "line N" when FormatDoc has read no text.
std::string describeLine(std::uint64_t logLine);

// "message" with a leading "line N" (N a log line, followed by ':') replaced by
// describeLine(N); any other message as it is.
std::string nameLogLine(std::string_view message);

// Creates a new, empty file in the temporary directory (TMPDIR, else /tmp) whose name begins
// with "tmp", readable by its owner only, and answers its full path. Raises EInOutError naming
// the directory when no file can be created there.
std::string GetTemporaryFileName();

// Copies the mail logs at "paths" into one new work file, as if they were one log, and sets:
// - stArqTemp: the work file's path. It is set before any file is opened (cleared first, in
//   case no temporary file can be made), so the caller can always delete it, also after a
//   failure;
// - inLinhas: the number of lines of the converted text (its LF count, plus one when it is not
//   empty and does not end with LF), a figure for the parse phase's progress maximum. After a
//   failure it counts the batches written so far;
// - stAno: the year of the last log's last modification (the last in reading order), in local
//   time, four digits. Left as it was when the copy fails. A pipe's modification time is about
//   the time it was read, so a piped log takes this year.
//
// A log is read as LogInput reads it: plain, gzip (inflated as it is read) or a stream read to
// its end. Several logs are read oldest first: by the stamp of each one's first stamped line
// (readingOrder() of log_order.h); a log without one keeps its place.
//
// The work file holds the logs' texts one after the other, with an LF added between two logs
// when the earlier one does not end with one, each LF turned into CR LF (a CR LF becomes
// CR CR LF), without the bytes 0 to 32 at the start and at the end of the whole text.
//
// Before every block it tests boImport and reads the block; while there is one it pumps the
// window messages (where a stop request may clear boImport), converts the block, repaints
// ui.form and moves ui.progress. When the size of every log is known, the progress maximum is
// the number of their full blocks, and the bar moves one step per block of a file read
// (compressed blocks for gzip). When it is not (a pipe), the bar is a marquee (ui.setUnknownMax())
// whose position counts the KiB read. A stop is no failure: the block being read is completed,
// the text read so far is written, the logs not yet read are left out and stAno is set.
//
// Every file failure raises EInOutError with the OS error and the path, a damaged or truncated
// gzip file one naming that file, an empty list one for the empty path; the logs and the work
// file are closed on every path.
void FormatDoc(const std::vector<std::string>& paths, const PhaseUi& ui);
// One log.
void FormatDoc(const std::string& path, const PhaseUi& ui);

}  // namespace zeb::import
