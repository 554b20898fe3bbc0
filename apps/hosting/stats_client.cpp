#include "hosting/stats_client.h"

#include <utility>

#include "platform/core/exceptions.h"

namespace zeb::hosting {

namespace {

constexpr const char* kMethod = "GetEmailStats";

[[noreturn]] void badAnswer(const std::string& what) {
  throw platform::EServerError(0, std::string(kMethod) + " answered " + what);
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
  nlohmann::json answer = connection_.call(
      kMethod, nlohmann::json::array({range_.branch, range_.from, range_.to, pageSize_, after_}));
  if (answer.contains("error")) {
    const nlohmann::json& error = answer["error"];
    throw platform::EServerError(
        error.value("code", 0),
        std::string(kMethod) + " failed: " + error.value("message", std::string("no message")));
  }
  const nlohmann::json* result = answer.contains("result") ? &answer["result"] : nullptr;
  if (result == nullptr || !result->is_object() || !(*result)["rows"].is_array()) {
    badAnswer("no page of rows");
  }
  bool first = after_.is_null();
  std::size_t start = rows.size();
  try {
    for (const nlohmann::json& r : (*result)["rows"]) {
      if (!r.is_array() || r.size() != server::kColumnCount) badAnswer("a row of another layout");
      StatsRow row;
      for (std::size_t i = 0; i < server::kTextColumnCount; ++i)
        row.texts[i] = r[i].get<std::string>();
      row.volume = r[server::kVRVOLDADOS].get<double>();
      row.count = r[server::kQTEMAIL].get<double>();
      rows.push_back(std::move(row));
    }
    if (first) {
      const nlohmann::json& totals = result->at("totals");
      totals_ = {totals.at("rows").get<std::int64_t>(), totals.at("messages").get<double>(),
                 totals.at("bytes").get<double>()};
      days_.clear();
      for (const nlohmann::json& d : result->at("days")) {
        days_.push_back({d.at(0).get<std::string>(), d.at(1).get<double>(), d.at(2).get<double>()});
      }
    }
  } catch (const nlohmann::json::exception& e) {
    rows.resize(start);
    badAnswer(std::string("a page that cannot be read: ") + e.what());
  }
  after_ = result->value("next", nlohmann::json());
  atEnd_ = after_.is_null();
  return true;
}

}  // namespace zeb::hosting
