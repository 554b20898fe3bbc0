#include "server/email_params.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>

#include "server/json_input.h"
#include "server/params_in_place.h"
#include "server/rpc_message.h"

namespace zeb::server {

namespace {

[[noreturn]] void invalid(const std::string& message) { throw RpcError(kInvalidParams, message); }

// One value of a params array, read and checked.
struct Param {
  json::json_type type;
  std::string_view raw;        // its text as it stands (arrays and objects are read again from it)
  std::string text;            // a string's text
  std::size_t characters = 0;  // and its length in characters
  double number = 0;
};

std::vector<Param> splitParams(std::string_view params) {
  thread_local json::Input input;
  json::Input::Releaser releaser(input);
  json::document& doc = input.open(params);
  if (input.get(doc.type()) != json::json_type::array) input.fail("expected '['");
  std::vector<Param> values;
  for (auto element : input.rootArray()) {
    json::value v = input.get(std::move(element));
    Param& param = values.emplace_back();
    param.type = input.get(v.type());
    if (param.type == json::json_type::array || param.type == json::json_type::object) {
      param.raw = input.structure(v);
      continue;
    }
    std::string_view token = v.raw_json_token();
    while (!token.empty() && (token.back() == ' ' || token.back() == '\n' || token.back() == '\r' ||
                              token.back() == '\t')) {
      token.remove_suffix(1);
    }
    param.raw = input.source(token);
    if (param.type == json::json_type::string) {
      std::string arena;
      arena.reserve(token.size());
      param.text = input.text(v, arena, &param.characters);
    } else if (param.type == json::json_type::number) {
      param.number = input.number(v);
    } else {
      input.skip(v);
    }
  }
  input.expectEnd();
  return values;
}

std::string paramCount(std::size_t n) { return std::to_string(n); }

bool allDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool isYear(std::string_view text) { return text.size() == 4 && allDigits(text); }

bool isTwoDigits(std::string_view text, int high) {
  if (text.size() != 2 || !allDigits(text)) return false;
  int value = (text[0] - '0') * 10 + (text[1] - '0');
  return value >= 1 && value <= high;
}

// What is wrong with a date part, or nothing.
std::string datePartFault(Column column, std::string_view text) {
  switch (column) {
    case kANETLEMAIL:
      if (!isYear(text)) return "must be four digits";
      break;
    case kMEETLEMAIL:
      if (!isTwoDigits(text, 12)) return "must be two digits from 01 to 12";
      break;
    case kDIETLEMAIL:
      if (!isTwoDigits(text, 31)) return "must be two digits from 01 to 31";
      break;
    default:
      break;
  }
  return {};
}

int twoDigits(std::string_view text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

int daysInMonth(int year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return month == 2 && leap ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Doubles count by one up to here; a sum past it would no longer be the sum of its parts.
constexpr double kWholeMax = 9007199254740992.0;  // 2^53

// The shortest text that reads back as "value", as a JSON writer gives it.
std::string numberText(double value) {
  char text[32];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  return error == std::errc() ? std::string(text, end) : std::string("?");
}

// The period code of "month" for periods of "months" months, as the import writes it.
std::string periodCode(int month, int months, std::string_view name) {
  return std::to_string((month - 1) / months + 1) + "\u00b0" + std::string(name);
}

class DeltaDecoder {
 public:
  DeltaDecoder(EmailBatch& batch, json::Input& input) : batch_(batch), input_(input) {}

  // Reads the delta "v" from a text of "within" bytes: texts with escapes are decoded into the
  // arena, which never outgrows that.
  void decode(json::value v, std::size_t within) {
    if (input_.get(v.type()) != json::json_type::object) {
      invalid("SetEmail: the delta must be an object with \"columns\" and \"changes\"");
    }
    batch_.changes.clear();
    batch_.arena.clear();
    batch_.arena.reserve(within);
    std::string_view changes;  // met before the columns: read once they are known
    bool haveColumns = false, haveChanges = false;
    for (auto field : input_.get(v.get_object())) {
      std::string_view key = input_.get(field.unescaped_key());
      json::value member = input_.get(field.value());
      if (key == "columns") {
        decodeColumns(member);
        haveColumns = true;
      } else if (key == "changes") {
        if (input_.get(member.type()) != json::json_type::array) {
          invalid("SetEmail: \"changes\" must be an array of change objects");
        }
        // The columns come first as the module writes deltas, and the changes are then read
        // in place, in one pass.
        if (haveColumns) {
          decodeChanges(input_, input_.get(member.get_array()));
        } else {
          changes = input_.structure(member);
        }
        haveChanges = true;
      } else {
        input_.skip(member, 3);
      }
    }
    if (!haveColumns) invalid("SetEmail: the delta has no \"columns\"");
    if (!haveChanges) invalid("SetEmail: the delta has no \"changes\"");
    if (!changes.empty()) {
      thread_local json::Input later;
      json::Input::Releaser releaser(later);
      later.open(changes);
      decodeChanges(later, later.rootArray());
      later.expectEnd();
    }
  }

 private:
  // A NUL byte, which a log holds where its machine crashed while writing it, reads as U+FFFD,
  // the replacement character: one character for one, the same whichever database stores it.
  // Only an escape ("\u0000", six bytes) makes one, so "text" is the last text decoded into the
  // arena, and its three bytes keep the arena within what it has reserved.
  std::string_view withoutNul(std::string_view text) {
    std::string decoded(text);
    std::string& arena = batch_.arena;
    std::size_t at = arena.size() - decoded.size();
    arena.resize(at);
    for (char c : decoded) {
      if (c == '\0') {
        arena += "\xEF\xBF\xBD";
      } else {
        arena += c;
      }
    }
    return std::string_view(arena).substr(at);
  }

  void decodeColumns(json::value v) {
    if (input_.get(v.type()) != json::json_type::array) {
      invalid("SetEmail: \"columns\" must be an array of column objects");
    }
    std::array<bool, kColumnCount> seen{};
    columnCount_ = 0;
    for (auto element : input_.get(v.get_array())) {
      json::value column = input_.get(std::move(element));
      std::size_t number = columnCount_ + 1;
      if (input_.get(column.type()) != json::json_type::object) {
        invalid("SetEmail: column " + std::to_string(number) + " must be an object");
      }
      std::string name, type;
      bool haveName = false, haveType = false;
      for (auto field : input_.get(column.get_object())) {
        std::string_view key = input_.get(field.unescaped_key());
        bool isName = key == "name";
        bool isType = key == "type";
        json::value member = input_.get(field.value());
        if ((isName || isType) && input_.get(member.type()) != json::json_type::string) {
          // Read by any other parser as the column's name or type, whatever came before.
          invalid("SetEmail: column " + std::to_string(number) + "'s \"" + std::string(key) +
                  "\" must be a text");
        }
        if (isName || isType) {
          (isName ? name : type) = input_.text(member);
          (isName ? haveName : haveType) = true;
        } else {
          input_.skip(member, 5);
        }
      }
      if (!haveName) invalid("SetEmail: column " + std::to_string(number) + " has no \"name\"");
      std::size_t index = columnIndex(name);
      if (index == kColumnCount) invalid("SetEmail: unknown column '" + name + "'");
      if (seen[index]) invalid("SetEmail: the column '" + name + "' comes twice");
      const ColumnDef& def = kColumns[index];
      if (!haveType) invalid("SetEmail: the column '" + name + "' has no \"type\"");
      bool typeFits = def.isText ? type == "string" : (type == "double" || type == "integer");
      if (!typeFits) {
        invalid("SetEmail: the column '" + name + "' must have the type " +
                (def.isText ? "string" : "double") + ", not '" + type + "'");
      }
      seen[index] = true;
      if (columnCount_ < kColumnCount) sourceToColumn_[columnCount_] = index;
      ++columnCount_;
    }
    for (std::size_t i = 0; i < kColumnCount; ++i) {
      if (!seen[i])
        invalid("SetEmail: the delta lacks the column '" + std::string(kColumns[i].name) + "'");
    }
  }

  void decodeChanges(json::Input& in, json::array changes) {
    for (auto element : changes) {
      json::value v = in.get(std::move(element));
      change_ = batch_.changes.size() + 1;
      if (in.get(v.type()) != json::json_type::object) invalid(where() + " must be an object");
      EmailChange& change = batch_.changes.emplace_back();
      bool haveOp = false, haveOld = false, haveRow = false;
      std::string op;
      for (auto field : in.get(v.get_object())) {
        std::string_view key = in.get(field.unescaped_key());
        json::value member = in.get(field.value());
        if (key == "op") {
          if (in.get(member.type()) != json::json_type::string) {
            invalid(where() + ": \"op\" must be a text");
          }
          op = in.get(member.get_string());
          haveOp = true;
          if (op == "insert") {
            change.op = ChangeOp::Insert;
          } else if (op == "update") {
            change.op = ChangeOp::Update;
          } else if (op == "delete") {
            change.op = ChangeOp::Delete;
          } else {
            invalid(where() + " has the unknown op '" + op + "' (insert, update or delete)");
          }
        } else if (key == "row") {
          decodeRow(in, member, change.row, "row");
          haveRow = true;
        } else if (key == "old") {
          decodeRow(in, member, change.old, "old");
          haveOld = true;
        } else {
          in.skip(member, 5);
        }
      }
      if (!haveOp) invalid(where() + " has no \"op\"");
      if (change.op != ChangeOp::Delete && !haveRow) {
        invalid(where() + " (" + op + ") has no \"row\"");
      }
      if (change.op != ChangeOp::Insert && !haveOld) {
        invalid(where() + " (" + op + ") has no \"old\" row");
      }
    }
  }

  void decodeRow(json::Input& in, json::value v, EmailRow& row, const char* part) {
    if (in.get(v.type()) != json::json_type::array) {
      invalid(where() + ": \"" + part + "\" must be an array of " + std::to_string(kColumnCount) +
              " values");
    }
    std::size_t count = 0;
    for (auto element : in.get(v.get_array())) {
      json::value value = in.get(std::move(element));
      if (count >= kColumnCount) {
        in.skip(value, 6);
        ++count;
        continue;
      }
      std::size_t column = sourceToColumn_[count++];
      const ColumnDef& def = kColumns[column];
      json::json_type kind = in.get(value.type());
      if (def.isText) {
        if (kind != json::json_type::string) invalid(valueWhere(column, part) + " must be a text");
        std::size_t characters = 0;
        auto width = static_cast<std::size_t>(def.size);
        std::size_t decoded = batch_.arena.size();
        std::string_view text = in.text(value, batch_.arena, &characters, width);
        // Only an escape makes a NUL, and only a text with escapes is decoded into the arena.
        if (batch_.arena.size() != decoded &&
            std::memchr(text.data(), '\0', text.size()) != nullptr) {
          text = withoutNul(text);
        }
        if (characters > width) {
          invalid(valueWhere(column, part) + " has " + std::to_string(characters) +
                  " characters, more than its " + std::to_string(def.size));
        }
        row.texts[column] = text;
      } else {
        if (kind != json::json_type::number) {
          invalid(valueWhere(column, part) + " must be a number");
        }
        (column == kVRVOLDADOS ? row.volume : row.count) = in.number(value);
      }
    }
    if (count != kColumnCount) {
      invalid(where() + ": \"" + part + "\" must hold " + std::to_string(kColumnCount) +
              " values, not " + std::to_string(count));
    }
    for (Column c : {kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL}) {
      std::string fault = datePartFault(c, row.texts[c]);
      if (!fault.empty()) {
        invalid(valueWhere(c, part) + " " + fault + ", not '" + std::string(row.texts[c]) + "'");
      }
    }
  }

  std::string where() const { return "SetEmail: change " + std::to_string(change_); }
  std::string valueWhere(std::size_t column, const char* part) const {
    return where() + ": " + std::string(kColumns[column].name) + " in \"" + part + "\"";
  }

  EmailBatch& batch_;
  json::Input& input_;
  std::array<std::size_t, kColumnCount> sourceToColumn_{};
  std::size_t columnCount_ = 0;
  std::size_t change_ = 0;
};

}  // namespace

void checkStorableRows(const EmailBatch& batch) {
  for (std::size_t i = 0; i < batch.changes.size(); ++i) {
    const EmailChange& change = batch.changes[i];
    if (change.op == ChangeOp::Delete) continue;
    const EmailRow& row = change.row;
    // The messages are built only for a row at fault: this runs for every row stored.
    auto column = [&](Column c) {
      return "SetEmail: change " + std::to_string(i + 1) + ": " + std::string(kColumns[c].name) +
             " in \"row\"";
    };
    // The decoder has checked the digits: four for the year, month 01-12, day 01-31.
    std::string_view year = row.texts[kANETLEMAIL], month = row.texts[kMEETLEMAIL],
                     day = row.texts[kDIETLEMAIL];
    int y = (year[0] - '0') * 1000 + (year[1] - '0') * 100 + (year[2] - '0') * 10 + (year[3] - '0');
    int m = twoDigits(month);
    int last = daysInMonth(y, m);
    if (twoDigits(day) > last) {
      invalid(column(kDIETLEMAIL) + " must be a day of " + std::string(year) + "-" +
              std::string(month) + " (01 to " + std::to_string(last) + "), not '" +
              std::string(day) + "'");
    }
    for (auto [c, lowest] : {std::pair{kVRVOLDADOS, 0.0}, std::pair{kQTEMAIL, 1.0}}) {
      double value = c == kVRVOLDADOS ? row.volume : row.count;
      if (!(value >= lowest && value <= kWholeMax && std::trunc(value) == value)) {
        invalid(column(c) + " must be a whole number from " + numberText(lowest) + " to " +
                numberText(kWholeMax) + ", not " + numberText(value));
      }
    }
    for (auto [c, months, name] :
         {std::tuple{kBIETLEMAIL, 2, "Bim"}, std::tuple{kTRETLEMAIL, 3, "Tri"},
          std::tuple{kSEETLEMAIL, 6, "Sem"}}) {
      // The code is one digit, the degree sign and the name: "2\u00b0Bim".
      std::string_view code = row.texts[c];
      bool fits = code.size() == 6 && code[0] == static_cast<char>('0' + (m - 1) / months + 1) &&
                  code.substr(1, 2) == "\u00b0" && code.substr(3) == name;
      if (!fits) {
        std::string expected = periodCode(m, months, name);
        invalid(column(c) + " must be '" + expected + "' for the month " + std::string(month) +
                ", not '" + std::string(code) + "'");
      }
    }
  }
}

void decodeGetEmailParams(std::string_view params) {
  std::size_t n = splitParams(params).size();
  if (n != 0) invalid("GetEmail takes no params, not " + paramCount(n));
}

std::string decodeSetDelEmailParams(std::string_view params) {
  std::vector<Param> values = splitParams(params);
  if (values.size() != 3) {
    invalid("SetDelEmail takes 3 params (year, month, day), not " + paramCount(values.size()));
  }
  static constexpr std::array<std::string_view, 3> kNames = {"year", "month", "day"};
  static constexpr std::array<Column, 3> kParts = {kANETLEMAIL, kMEETLEMAIL, kDIETLEMAIL};
  std::string date;
  for (std::size_t i = 0; i < 3; ++i) {
    std::string where = "SetDelEmail: the " + std::string(kNames[i]);
    if (values[i].type != json::json_type::string) invalid(where + " must be a text");
    const std::string& text = values[i].text;
    std::string fault = datePartFault(kParts[i], text);
    if (!fault.empty()) invalid(where + " " + fault + ", not '" + text + "'");
    date += text;
  }
  return date;
}

namespace {

const std::string& readText(const Param& value, const std::string& where) {
  if (value.type != json::json_type::string) invalid(where + " must be a text");
  return value.text;
}

// "YYYY-MM-DD" of the Gregorian calendar as "YYYYMMDD"; empty when it is no such date.
std::string calendarDateKey(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return {};
  std::string_view y = text.substr(0, 4), m = text.substr(5, 2), d = text.substr(8, 2);
  if (!isYear(y) || !isTwoDigits(m, 12) || !isTwoDigits(d, 31)) return {};
  int year = (y[0] - '0') * 1000 + (y[1] - '0') * 100 + (y[2] - '0') * 10 + (y[3] - '0');
  if (twoDigits(d) > daysInMonth(year, twoDigits(m))) return {};
  return std::string(y) + std::string(m) + std::string(d);
}

}  // namespace

StatsQuery decodeGetEmailStatsParams(std::string_view params) {
  constexpr std::string_view kMethod = "GetEmailStats";
  std::vector<Param> values = splitParams(params);
  if (values.size() != 5) {
    invalid(std::string(kMethod) + " takes 5 params (branch, from, to, page size, after), not " +
            paramCount(values.size()));
  }
  StatsQuery query;
  query.branch = readText(values[0], "GetEmailStats: the branch");
  if (values[0].characters > static_cast<std::size_t>(kColumns[kCDFILIAL].size)) {
    invalid("GetEmailStats: the branch must be at most 4 characters, not '" + query.branch + "'");
  }
  const std::array<std::string*, 2> dates = {&query.from, &query.to};
  static constexpr std::array<std::string_view, 2> kDateNames = {"from", "to"};
  std::array<std::string, 2> texts;
  for (std::size_t i = 0; i < 2; ++i) {
    std::string where = "GetEmailStats: '" + std::string(kDateNames[i]) + "'";
    texts[i] = readText(values[1 + i], where);
    *dates[i] = calendarDateKey(texts[i]);
    if (dates[i]->empty()) {
      invalid(where + " must be a date YYYY-MM-DD of the calendar, not '" + texts[i] + "'");
    }
  }
  if (query.from > query.to) {
    invalid("GetEmailStats: the range ends on " + texts[1] + ", before it starts on " + texts[0]);
  }
  double pageSize = values[3].type == json::json_type::number ? values[3].number : 0;
  if (!(pageSize >= 1 && pageSize <= kStatsPageMax) || pageSize != std::trunc(pageSize)) {
    invalid("GetEmailStats: the page size must be a whole number from 1 to " +
            std::to_string(kStatsPageMax) + ", not " + std::string(values[3].raw));
  }
  query.pageSize = static_cast<int>(pageSize);
  if (values[4].type == json::json_type::null) return query;
  const std::string afterFault =
      "GetEmailStats: 'after' must be null or the \"next\" key of the previous page (6 texts)";
  if (values[4].type != json::json_type::array) invalid(afterFault);
  thread_local json::Input input;
  json::Input::Releaser releaser(input);
  input.open(values[4].raw);
  for (auto element : input.rootArray()) {
    json::value v = input.get(std::move(element));
    if (input.get(v.type()) != json::json_type::string || query.after.size() == 6) {
      invalid(afterFault);
    }
    query.after.push_back(input.text(v));
  }
  input.expectEnd();
  if (query.after.size() != 6) invalid(afterFault);
  return query;
}

void decodeSetEmailParams(std::string_view params, EmailBatch& batch) {
  thread_local json::Input input;
  json::Input::Releaser releaser(input);
  json::document& doc = input.open(params);
  if (input.get(doc.type()) != json::json_type::array) input.fail("expected '['");
  std::size_t n = 0;
  for (auto element : input.rootArray()) {
    json::value v = input.get(std::move(element));
    if (n++ == 0) {
      DeltaDecoder(batch, input).decode(v, params.size());
    } else {
      input.skip(v, 2);
    }
  }
  input.expectEnd();
  if (n != 1) invalid("SetEmail takes 1 param (the delta), not " + paramCount(n));
}

void decodeSetEmailParams(json::Input& input, json::value params, std::size_t within,
                          EmailBatch& batch) {
  std::size_t n = 0;
  for (auto element : input.get(params.get_array())) {
    json::value v = input.get(std::move(element));
    if (n++ == 0) {
      DeltaDecoder(batch, input).decode(v, within);
    } else {
      input.skip(v, 3);
    }
  }
  if (n != 1) invalid("SetEmail takes 1 param (the delta), not " + paramCount(n));
}

namespace {

void appendJsonText(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendRow(std::string& out, const EmailRow& row) {
  out += '[';
  for (std::size_t c = 0; c < kTextColumnCount; ++c) {
    appendJsonText(out, row.texts[c]);
    out += ", ";
  }
  char number[32];
  // 17 digits give every double back exactly, and whole numbers without a point.
  std::snprintf(number, sizeof number, "%.17g, ", row.volume);
  out += number;
  std::snprintf(number, sizeof number, "%.17g]", row.count);
  out += number;
}

}  // namespace

std::string encodeSetEmailParams(const EmailBatch& batch) {
  std::string out = "[{\"columns\": ";
  out += columnsJson();
  out += ", \"changes\": [";
  bool first = true;
  for (const EmailChange& change : batch.changes) {
    out += first ? "{\"op\": " : ", {\"op\": ";
    first = false;
    out += change.op == ChangeOp::Insert   ? "\"insert\""
           : change.op == ChangeOp::Update ? "\"update\""
                                           : "\"delete\"";
    if (change.op != ChangeOp::Insert) {
      out += ", \"old\": ";
      appendRow(out, change.old);
    }
    if (change.op != ChangeOp::Delete) {
      out += ", \"row\": ";
      appendRow(out, change.row);
    }
    out += '}';
  }
  out += "]}]";
  return out;
}

}  // namespace zeb::server
