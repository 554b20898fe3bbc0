// The work file: a copy of the mail log in the temporary directory, with every LF turned into
// CR LF and the blanks at its two ends trimmed, which the parse phase then reads line by line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "import/phase_ui.h"

namespace zeb::import {

// The mail log is read in blocks of kBlockSize bytes, and the converted text is written in
// batches of kBlocksPerBatch blocks, so that memory stays bounded whatever the log's size.
inline constexpr std::size_t kBlockSize = 102400;
inline constexpr int kBlocksPerBatch = 49;

// The log's line number of the work file's first line, as the last FormatDoc found it: blank
// lines at the start of the log are not copied, and messages must name the log's lines.
extern std::uint64_t workFileFirstLine;

// Creates a new, empty file in the temporary directory (TMPDIR, else /tmp) whose name begins
// with "tmp", readable by its owner only, and answers its full path. Raises EInOutError naming
// the directory when no file can be created there.
std::string GetTemporaryFileName();

// Copies the mail log at "path" into a new work file and sets:
// - stArqTemp: the work file's path. It is set before any file is opened (cleared first, in
//   case no temporary file can be made), so the caller can always delete it, also after a
//   failure;
// - inLinhas: the number of lines of the converted log (its LF count, plus one when it is not
//   empty and does not end with LF), a figure for the parse phase's progress maximum. After a
//   failure it counts the batches written so far;
// - stAno: the year of the log's last modification, in local time, four digits. Left as it
//   was when the copy fails.
//
// The work file holds exactly the bytes read, each LF turned into CR LF (a CR LF becomes
// CR CR LF), without the bytes 0 to 32 at the start and at the end of the whole text.
//
// Before every block it tests for the end of the log, then boImport; while both let it go on,
// it pumps the window messages (where a stop request may clear boImport), reads the block,
// repaints ui.form and moves ui.progress one step. The progress maximum is the number of full
// blocks. A stop is no failure: the block being read is completed, the text read so far is
// written and stAno is set.
//
// Every file failure raises EInOutError with the OS error and the path; the log and the work
// file are closed on every path.
void FormatDoc(const std::string& path, const PhaseUi& ui);

}  // namespace zeb::import
