// The order in which several mail logs are read as one log: oldest first, by the time stamp of
// each log's first stamped line, so that the operator may name a rotation set in any order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

namespace zeb::import {

// A local date and time as one number that orders stamps (microseconds, from year 0).
using LogStamp = std::int64_t;

// How much of a log's text is searched for its first stamp.
inline constexpr std::size_t kStampSearchBytes = 16 * 1024;
inline constexpr int kStampSearchLines = 100;

// The stamp of the first line of "head" that begins with one, among its first kStampSearchLines
// lines and kStampSearchBytes bytes:
// - classic syslog, "Dec  5 12:34:56" (a month name as NmMesToNrMes reads it, the day blank- or
//   zero-padded). It carries no year: it takes the year of "modified" in local time, or the year
//   before when its month and day come after those of "modified" (a log holds no line written
//   after its last change), so that "Dec 28" of last year comes before "Jan  3";
// - RFC 3339, "2026-12-05T12:34:56.123+01:00" (fraction and offset optional). Its own date and
//   time count as they are written; the offset is ignored, as the parser dates the line by the
//   day the server logged, not by UTC.
// Answers nothing when no line there begins with a stamp.
std::optional<LogStamp> firstStamp(std::string_view head, std::time_t modified);

// The reading order of logs whose first stamps are "stamps", as indices into it: the logs with a
// stamp are sorted by it among the positions they hold (equal stamps keep their given order), and
// a log without one keeps its position.
std::vector<std::size_t> readingOrder(const std::vector<std::optional<LogStamp>>& stamps);

}  // namespace zeb::import
