#include "hosting/stats_client.h"

#include <optional>
#include <utility>

#include "platform/core/exceptions.h"
#include "server/json_input.h"

namespace zeb::hosting {

namespace {

constexpr const char* kMethod = "GetEmailStats";

[[noreturn]] void badAnswer(const std::string& what) {
  throw platform::EServerError(0, std::string(kMethod) + " answered " + what);
}

namespace json = server::json;

// Calls "cell" with each value of every array in the array "arrays", and its place; each array
// must hold "width" values, else the answer is of another layout ("what").
template <typename Cell, typename Done>
void readArrays(json::Input& input, json::value arrays, std::size_t width, const char* what,
                Cell cell, Done done) {
  for (auto element : input.get(arrays.get_array())) {
    json::value a = input.get(std::move(element));
    std::size_t i = 0;
    for (auto value : input.get(a.get_array())) {
      if (i == width) badAnswer(std::string("a ") + what + " of another layout");
      cell(i++, input.get(std::move(value)));
    }
    if (i != width) badAnswer(std::string("a ") + what + " of another layout");
    done();
  }
}

// Rows in the stored layout: the texts, then the volume and the count.
void readRows(json::Input& input, json::value rows, std::vector<StatsRow>& into) {
  StatsRow row;
  readArrays(
      input, rows, server::kColumnCount, "row",
      [&](std::size_t i, json::value c) {
        if (i < server::kTextColumnCount) {
          row.texts[i] = input.text(c);
        } else if (i == server::kVRVOLDADOS) {
          row.volume = input.number(c);
        } else {
          row.count = input.number(c);
        }
      },
      [&] { into.push_back(std::move(row)); });
}

StatsTotals readTotals(json::Input& input, json::value totals) {
  StatsTotals out;
  int seen = 0;
  for (auto field : input.get(totals.get_object())) {
    std::string_view name = input.get(field.unescaped_key());
    json::value v = input.get(field.value());
    if (name == "rows") {
      out.rows = static_cast<std::int64_t>(input.number(v));
      ++seen;
    } else if (name == "messages") {
      out.messages = input.number(v);
      ++seen;
    } else if (name == "bytes") {
      out.bytes = input.number(v);
      ++seen;
    } else {
      input.skip(v, 3);
    }
  }
  if (seen != 3) badAnswer("totals without their rows, messages and bytes");
  return out;
}

// [date, messages, bytes] a day.
std::vector<StatsDay> readDays(json::Input& input, json::value days) {
  std::vector<StatsDay> out;
  StatsDay day;
  readArrays(
      input, days, 3, "day",
      [&](std::size_t i, json::value c) {
        if (i == 0) {
          day.date = input.text(c);
        } else {
          (i == 1 ? day.messages : day.bytes) = input.number(c);
        }
      },
      [&] { out.push_back(std::move(day)); });
  return out;
}

}  // namespace

server::EmailRow StatsRow::view() const {
  server::EmailRow row;
  for (std::size_t i = 0; i < texts.size(); ++i) row.texts[i] = texts[i];
  row.volume = volume;
  row.count = count;
  return row;
}

StatsReader::StatsReader(platform::net::TNetConnection& connection, StatsRange range, int pageSize)
    : connection_(connection), range_(std::move(range)), pageSize_(pageSize) {}

bool StatsReader::fetchMore(std::vector<StatsRow>& rows) {
  if (atEnd_) return false;
  connection_.setConnected(true);
  // A page is large (thousands of rows): its answer is read where it stands, without a
  // document of its own.
  std::string answer = connection_.callRawText(
      kMethod,
      nlohmann::json::array({range_.branch, range_.from, range_.to, pageSize_, after_}).dump());
  bool first = after_.is_null();
  std::size_t start = rows.size();
  std::optional<StatsTotals> totals;
  std::vector<StatsDay> days;
  nlohmann::json next;
  bool haveResult = false, haveRows = false, haveError = false;
  std::int64_t code = 0;
  std::string message = "no message";
  thread_local json::Input input;
  json::Input::Releaser releaser(input);
  try {
    json::document& doc = input.open(answer);
    if (input.get(doc.type()) != json::json_type::object) input.fail("not an object");
    for (auto field : input.rootObject()) {
      std::string_view key = input.get(field.unescaped_key());
      json::value v = input.get(field.value());
      if (key == "result") {
        haveResult = true;
        for (auto part : input.get(v.get_object())) {
          std::string_view name = input.get(part.unescaped_key());
          json::value p = input.get(part.value());
          if (name == "rows") {
            haveRows = true;
            readRows(input, p, rows);
          } else if (name == "next") {
            next = input.get(p.type()) == json::json_type::null
                       ? nlohmann::json()
                       : nlohmann::json::parse(input.structure(p));
          } else if (name == "totals" && first) {
            totals = readTotals(input, p);
          } else if (name == "days" && first) {
            days = readDays(input, p);
          } else {
            input.skip(p, 3);
          }
        }
      } else if (key == "error" && input.get(v.type()) == json::json_type::object) {
        haveError = true;
        for (auto part : input.get(v.get_object())) {
          std::string_view name = input.get(part.unescaped_key());
          json::value p = input.get(part.value());
          if (name == "code" && input.get(p.type()) == json::json_type::number) {
            code = static_cast<std::int64_t>(input.number(p));
          } else if (name == "message" && input.get(p.type()) == json::json_type::string) {
            message = input.text(p);
          } else {
            input.skip(p, 3);
          }
        }
      } else {
        input.skip(v, 2);
      }
    }
    input.expectEnd();
  } catch (const server::JsonSyntaxError& e) {
    rows.resize(start);
    badAnswer(std::string("a page that cannot be read: ") + e.what());
  } catch (const nlohmann::json::exception& e) {
    rows.resize(start);
    badAnswer(std::string("a page that cannot be read: ") + e.what());
  } catch (...) {
    rows.resize(start);
    throw;
  }
  if (haveError) {
    rows.resize(start);
    throw platform::EServerError(static_cast<int>(code),
                                 std::string(kMethod) + " failed: " + message);
  }
  if (!haveResult || !haveRows || (first && !totals)) {
    rows.resize(start);
    badAnswer(haveResult ? "a page without its rows or totals" : "no page of rows");
  }
  if (first) {
    totals_ = *totals;
    days_ = std::move(days);
  }
  after_ = std::move(next);
  atEnd_ = after_.is_null();
  return true;
}

}  // namespace zeb::hosting
