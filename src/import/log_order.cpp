#include "import/log_order.h"

#include <algorithm>
#include <numeric>

#include "import/line_parser.h"

namespace zeb::import {

namespace {

// Reads "count" digits at "at" into "value"; false when any is not a digit.
bool digits(std::string_view line, std::size_t at, std::size_t count, int& value) {
  if (at + count > line.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    value = value * 10 + (line[i] - '0');
  }
  return true;
}

struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;

  bool valid() const {
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 && minute <= 59 &&
           second <= 60;
  }
  LogStamp key() const {
    LogStamp days = (static_cast<LogStamp>(year) * 13 + month) * 32 + day;
    return ((days * 24 + hour) * 60 + minute) * 60 * 1000000LL + second * 1000000LL + micro;
  }
};

// "hh:mm:ss" at "at".
bool timeOfDay(std::string_view line, std::size_t at, DateTime& t) {
  return digits(line, at, 2, t.hour) && at + 2 < line.size() && line[at + 2] == ':' &&
         digits(line, at + 3, 2, t.minute) && at + 5 < line.size() && line[at + 5] == ':' &&
         digits(line, at + 6, 2, t.second);
}

std::optional<DateTime> rfc3339(std::string_view line) {
  DateTime t;
  if (!digits(line, 0, 4, t.year) || line.size() < 19 || line[4] != '-' ||
      !digits(line, 5, 2, t.month) || line[7] != '-' || !digits(line, 8, 2, t.day) ||
      line[10] != 'T' || !timeOfDay(line, 11, t)) {
    return std::nullopt;
  }
  if (line.size() > 19 && line[19] == '.') {
    int scale = 100000;
    for (std::size_t i = 20; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
      t.micro += (line[i] - '0') * scale;
      scale /= 10;
    }
  }
  return t.valid() ? std::optional(t) : std::nullopt;
}

std::optional<DateTime> classic(std::string_view line, const struct tm& modified) {
  if (line.size() < 3) return std::nullopt;
  std::string_view month = NmMesToNrMes(line.substr(0, 3));
  DateTime t;
  if (month.empty() || !digits(month, 0, 2, t.month)) return std::nullopt;
  std::size_t at = 3;
  if (at >= line.size() || line[at] != ' ') return std::nullopt;
  while (at < line.size() && line[at] == ' ') ++at;
  std::size_t dayDigits = at + 1 < line.size() && line[at + 1] != ' ' ? 2 : 1;
  if (!digits(line, at, dayDigits, t.day)) return std::nullopt;
  at += dayDigits;
  if (at >= line.size() || line[at] != ' ' || !timeOfDay(line, at + 1, t)) return std::nullopt;
  int modifiedMonth = modified.tm_mon + 1;
  bool afterModified =
      t.month > modifiedMonth || (t.month == modifiedMonth && t.day > modified.tm_mday);
  t.year = modified.tm_year + 1900 - (afterModified ? 1 : 0);
  return t.valid() ? std::optional(t) : std::nullopt;
}

}  // namespace

std::optional<LogStamp> firstStamp(std::string_view head, std::time_t modified) {
  struct tm local {};
  if (::localtime_r(&modified, &local) == nullptr) return std::nullopt;
  head = head.substr(0, std::min(head.size(), kStampSearchBytes));
  std::size_t at = 0;
  for (int line = 0; line < kStampSearchLines && at < head.size(); ++line) {
    std::size_t end = std::min(head.find('\n', at), head.size());
    std::string_view text = head.substr(at, end - at);
    std::optional<DateTime> t = rfc3339(text);
    if (!t) t = classic(text, local);
    if (t) return t->key();
    at = end + 1;
  }
  return std::nullopt;
}

std::vector<std::size_t> readingOrder(const std::vector<std::optional<LogStamp>>& stamps) {
  std::vector<std::size_t> order(stamps.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::vector<std::size_t> stamped;
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    if (stamps[i]) stamped.push_back(i);
  }
  std::vector<std::size_t> sorted = stamped;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](std::size_t a, std::size_t b) { return *stamps[a] < *stamps[b]; });
  for (std::size_t k = 0; k < stamped.size(); ++k) order[stamped[k]] = sorted[k];
  return order;
}

}  // namespace zeb::import
