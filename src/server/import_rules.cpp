#include "server/import_rules.h"

#include <algorithm>
#include <array>
#include <vector>

#include "server/net_changes.h"

namespace zeb::server {

std::string daysCarried(const EmailBatch& batch) {
  std::string days;
  std::vector<std::string> seen;
  // Most changes fall on the day of the change before them; remember that one.
  std::string_view lastBranch;
  std::array<char, 8> lastDay{};
  bool haveLast = false;
  auto consider = [&](const EmailRow& row) {
    std::array<char, 8> date = rowDate(row);
    std::string_view branch = row.texts[kCDFILIAL];
    if (haveLast && branch == lastBranch && date == lastDay) return;
    lastBranch = branch;
    lastDay = date;
    haveLast = true;
    std::string key = dayKey(branch, {date.data(), date.size()});
    for (const std::string& k : seen) {
      if (k == key) return;
    }
    days += key;
    seen.push_back(std::move(key));
  };
  for (const EmailChange& change : batch.changes) {
    if (change.op != ChangeOp::Insert) consider(change.old);
    if (change.op != ChangeOp::Delete) consider(change.row);
  }
  return days;
}

std::string daysToReplace(std::string_view carried, const Replacement& replacement) {
  std::string days;
  if (replacement.from.empty()) return days;
  forEachDay(carried, [&](std::string_view branch, std::string_view date) {
    if (date < std::string_view(replacement.from)) return;
    std::string key = dayKey(branch, date);
    if (replacement.replaced.count(key) == 0) days += key;
  });
  return days;
}

std::unordered_set<std::string> daysLost(
    std::string_view carried, std::uint64_t ticket,
    const std::function<std::uint64_t(const std::string& day)>& ownerOf) {
  std::unordered_set<std::string> lost;
  if (ticket == 0) return lost;
  forEachDay(carried, [&](std::string_view branch, std::string_view date) {
    std::string key = dayKey(branch, date);
    if (ownerOf(key) > ticket) lost.insert(std::move(key));
  });
  return lost;
}

void dropDays(EmailBatch& batch, const std::unordered_set<std::string>& lost) {
  auto onLost = [&](const EmailRow& row) {
    std::array<char, 8> date = rowDate(row);
    return lost.count(dayKey(row.texts[kCDFILIAL], {date.data(), date.size()})) != 0;
  };
  std::erase_if(batch.changes, [&](const EmailChange& change) {
    return (change.op != ChangeOp::Insert && onLost(change.old)) ||
           (change.op != ChangeOp::Delete && onLost(change.row));
  });
}

std::string lastDate(std::string_view days) {
  std::string_view last;
  forEachDay(days, [&](std::string_view, std::string_view date) { last = std::max(last, date); });
  return std::string(last);
}

ApplyCounts countChanges(const EmailBatch& batch) {
  ApplyCounts counts;
  for (const EmailChange& change : batch.changes) {
    switch (change.op) {
      case ChangeOp::Insert:
        ++counts.inserted;
        break;
      case ChangeOp::Update:
        ++counts.updated;
        break;
      case ChangeOp::Delete:
        ++counts.deleted;
        break;
    }
  }
  return counts;
}

void rememberReplaced(std::string_view replaced, Replacement& replacement, ApplyCounts& counts) {
  forEachDay(replaced, [&](std::string_view branch, std::string_view date) {
    replacement.replaced.insert(dayKey(branch, date));
    ++counts.replacedDays;
  });
}

}  // namespace zeb::server
