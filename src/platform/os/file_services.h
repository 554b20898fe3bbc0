// File services by path: the temporary directory and temporary files, existence, size,
// modification year, deletion.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace zeb::platform::os {

// The current user's temporary directory: TMPDIR when it is set and not empty, else /tmp.
// No trailing slash is added or removed.
std::string temporaryDirectory();

// Creates a new, empty file in temporaryDirectory() whose name begins with "tmp", atomically
// and exclusively (no other process can have created it first), readable and writable by its
// owner only, and answers its full path. The caller deletes it with deleteFile(). The name
// carries this process's pid ("tmpzeb-PID-XXXXXX") and the process holds an advisory lock on
// the file until it is deleted. Raises EInOutError naming the directory when no file can be
// created there.
std::string makeTemporaryFile();

// Deletes the files that makeTemporaryFile() made in temporaryDirectory() for processes that
// ended without deleting them (killed outright): only files of this user whose pid names no
// running process and whose lock nobody holds. Failures are ignored: a file left is harmless.
void removeAbandonedTemporaryFiles();

// True when "path" names an existing file that is not a directory (symbolic links followed).
bool fileExists(const std::string& path);

// The size of the file in bytes. Raises EInOutError when it cannot be taken.
std::int64_t fileSize(const std::string& path);

// The year of the file's last modification, in local time, as four digits ("yyyy").
// Raises EInOutError when the time cannot be taken.
std::string fileYear(const std::string& path);

// The year of "time" in local time, as four digits ("yyyy").
std::string formatYear(std::time_t time);

// Deletes the file. Answers false when there was no such file; raises EInOutError for any
// other failure.
bool deleteFile(const std::string& path);

}  // namespace zeb::platform::os
