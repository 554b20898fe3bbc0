// Runs the real server on an ephemeral loopback port and talks to it over HTTP, as the module
// does: over a temporary SQLite file, and the tests of what is stored over PostgreSQL too.
#include "server/server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "backend_test_support.h"
#include "platform/core/exceptions.h"
#include "server/batch_record.h"
#include "server/postgres_tables.h"
#include "server/statistics_backend.h"
#include "server_test_support.h"

namespace zeb::server {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::deleteChange;
using test::deltaOf;
using test::insertChange;
using test::statRow;
using test::updateChange;

constexpr const char* kPath = "/rpc/ZEB18000.rdmImpEmailInt";
constexpr const char* kSessionA = "0123456789abcdef0123456789abcdef";
constexpr const char* kSessionB = "fedcba9876543210fedcba9876543210";

struct Reply {
  int status = 0;
  json body;
};

class ServerTest : public ::testing::Test {
 protected:
  explicit ServerTest(test::Backend backend = test::Backend::kSqlite) : backend_(backend) {
    dir_ = test::freshTestDirectory("zeb_server_test_");
  }

  void SetUp() override {
    if (backend_ == test::Backend::kPostgres) {
      schema_ = std::make_unique<test::PostgresSchema>();
      ZEB_REQUIRE_POSTGRESQL(schema_->uri());
      database_ = schema_->uri();
    } else {
      database_ = (dir_ / "stats.db").string();
    }
    ServerOptions options;
    options.port = 0;
    options.databasePath = database_;
    options.sessionTimeout = std::chrono::minutes(60);
    options.clock = [this] { return base_ + std::chrono::minutes(minutes_.load()); };
    options.reportFailure = [this](const std::exception& failure) {
      std::lock_guard lock(reportsMutex_);
      reports_.push_back(failure.what());
    };
    options_ = options;
    server_ = std::make_unique<Server>(options);
    server_->start();
  }
  ~ServerTest() override {
    if (server_) server_->stop();
    server_.reset();
    fs::remove_all(dir_);
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", server_->port());
    c.set_read_timeout(std::chrono::seconds(30));
    return c;
  }

  Reply post(const std::string& body, const char* session = kSessionA,
             const std::string& path = kPath, const std::string& type = "application/json") {
    httplib::Headers headers;
    if (session != nullptr) headers.emplace("X-Zeb-Session", session);
    auto res = client().Post(path, headers, body, type);
    EXPECT_TRUE(res) << httplib::to_string(res.error());
    if (!res) return {};
    return {res->status, json::parse(res->body)};
  }

  Reply call(const std::string& method, const json& params, const char* session = kSessionA) {
    json request = {{"jsonrpc", "2.0"}, {"id", 7}, {"method", method}, {"params", params}};
    return post(request.dump(), session);
  }

  // Calls and expects success; answers the result.
  json ok(const std::string& method, const json& params, const char* session = kSessionA) {
    Reply reply = call(method, params, session);
    EXPECT_EQ(reply.status, 200);
    EXPECT_FALSE(reply.body.contains("error")) << reply.body.dump();
    return reply.body.value("result", json());
  }

  json setEmail(const std::vector<json>& changes, const char* session = kSessionA) {
    return ok("SetEmail", json::array({deltaOf(json(changes))}), session);
  }

  void mark(const std::string& y, const std::string& m, const std::string& d,
            const char* session = kSessionA) {
    EXPECT_EQ(ok("SetDelEmail", json::array({y, m, d}), session), json(true));
  }

  // The stored rows, one line each: branch, origin, destination, date, volume, count.
  std::vector<std::string> stored(const std::string& branch = "") const {
    std::vector<std::string> lines;
    RowFilter filter;
    filter.branch = branch;
    openReader()->forEach(filter, [&](const EmailRow& r) {
      lines.push_back(std::string(r.texts[kCDFILIAL]) + " " + std::string(r.texts[kNMORIGEM]) +
                      " " + std::string(r.texts[kNMDESTINO]) + " " +
                      std::string(r.texts[kANETLEMAIL]) + "-" + std::string(r.texts[kMEETLEMAIL]) +
                      "-" + std::string(r.texts[kDIETLEMAIL]) + " " +
                      std::to_string(static_cast<long long>(r.volume)) + " " +
                      std::to_string(static_cast<long long>(r.count)));
    });
    return lines;
  }

  // The database as a listing opens it.
  std::unique_ptr<StatisticsBackend> openReader() const {
    BackendOptions open;
    open.database = database_;
    open.readOnly = true;
    return openStatisticsBackend(open);
  }

  std::vector<std::string> reports() {
    std::lock_guard lock(reportsMutex_);
    return reports_;
  }

  test::Backend backend_;
  fs::path dir_;
  std::unique_ptr<test::PostgresSchema> schema_;
  std::string database_;  // the file or the URI
  std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
  std::atomic<int> minutes_{0};
  ServerOptions options_;
  std::unique_ptr<Server> server_;
  std::mutex reportsMutex_;
  std::vector<std::string> reports_;  // what the server reported of its own accord
};

// The tests of what is stored, run against each backend.
class ServerStoreTest : public ServerTest, public ::testing::WithParamInterface<test::Backend> {
 protected:
  ServerStoreTest() : ServerTest(GetParam()) {}
};

INSTANTIATE_TEST_SUITE_P(Backends, ServerStoreTest,
                         ::testing::Values(test::Backend::kSqlite, test::Backend::kPostgres),
                         test::backendName);

// --- The handshake and GetEmail ------------------------------------------------------------

TEST_F(ServerTest, HandshakeNamesTheObjectAndItsMethods) {
  auto res = client().Get(kPath);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(json::parse(res->body), json::parse(R"({"object": "ZEB18000.rdmImpEmailInt",
                            "methods": ["GetEmail", "SetDelEmail", "SetEmail", "GetEmailStats"]})"));
}

TEST_F(ServerTest, HandshakeWithAnUnknownObjectAnswers404WithAnError) {
  auto res = client().Get("/rpc/ZEB99999.rdmOther");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  EXPECT_EQ(json::parse(res->body),
            (json{{"jsonrpc", "2.0"},
                  {"id", nullptr},
                  {"error",
                   {{"code", -32601},
                    {"message",
                     "Unknown object 'ZEB99999.rdmOther': this server offers "
                     "ZEB18000.rdmImpEmailInt"}}}}));
}

TEST_F(ServerTest, GetEmailAnswersTheLayoutWithNoRowsWhateverIsStored) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 987, 1))});
  Reply reply = call("GetEmail", json::array());
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, json::parse(R"({"jsonrpc": "2.0", "id": 7, "result": {"columns": [
    {"name": "CDFILIAL", "type": "string", "size": 4},
    {"name": "NMORIGEM", "type": "string", "size": 150},
    {"name": "NMDESTINO", "type": "string", "size": 150},
    {"name": "ANETLEMAIL", "type": "string", "size": 4},
    {"name": "MEETLEMAIL", "type": "string", "size": 4},
    {"name": "DIETLEMAIL", "type": "string", "size": 4},
    {"name": "BIETLEMAIL", "type": "string", "size": 6},
    {"name": "SEETLEMAIL", "type": "string", "size": 6},
    {"name": "TRETLEMAIL", "type": "string", "size": 6},
    {"name": "VRVOLDADOS", "type": "double"},
    {"name": "QTEMAIL", "type": "double"}], "rows": []}})"));
}

// --- Bad requests ---------------------------------------------------------------------------

struct BadRequest {
  const char* name;
  std::string body;
  int status;
  json id;
  int code;
  std::string message;
};

void PrintTo(const BadRequest& c, std::ostream* os) { *os << c.name; }

std::string envelope(const std::string& method, const std::string& params) {
  return R"({"jsonrpc": "2.0", "id": 3, "method": ")" + method + R"(", "params": )" + params + "}";
}

std::string setEmailWith(const json& delta) {
  return envelope("SetEmail", "[" + delta.dump() + "]");
}

json columnsWithout(const std::string& name) {
  json columns = json::array();
  for (const json& c : json::parse(columnsJson())) {
    if (c["name"] != name) columns.push_back(c);
  }
  return columns;
}

std::vector<BadRequest> badRequests() {
  json good = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 10, 1);
  json longOrigin = good;
  longOrigin[1] = std::string(141, 'a') + "@x.com.brr";  // 151 characters
  json wideBranch = good;
  wideBranch[0] = "0001\u00e9";  // five characters
  json numberText = good;
  numberText[2] = 5;
  json textNumber = good;
  textNumber[9] = "10";
  json shortRow = good;
  shortRow.erase(10);
  json badMonth = good;
  badMonth[4] = "13";
  json withExtraColumn = deltaOf(json::array({insertChange(good)}));
  withExtraColumn["columns"].push_back({{"name", "CDEXTRA"}, {"type", "string"}, {"size", 4}});
  json withTwice = deltaOf(json::array({insertChange(good)}));
  withTwice["columns"].push_back({{"name", "QTEMAIL"}, {"type", "double"}});
  json wrongType = deltaOf(json::array({insertChange(good)}));
  wrongType["columns"][9]["type"] = "string";
  json withoutColumn = {{"columns", columnsWithout("QTEMAIL")},
                        {"changes", json::array({insertChange(good)})}};
  auto one = [&](const json& change) { return setEmailWith(deltaOf(json::array({change}))); };
  std::string afterBadChange = one({{"op", "upsert"}, {"row", good}});
  afterBadChange.insert(afterBadChange.find("}]") + 1, R"(, {"op": "insert", "row": [01]})");

  return {
      {"NotJson", R"({"jsonrpc": "2.0", "id": 3, "method": "GetEmail", "params": [})", 400, nullptr,
       -32700,
       "Malformed JSON at byte 61: a comma, colon, bracket or member name is missing or out of "
       "place"},
      {"EmptyBody", "", 400, nullptr, -32700, "Malformed JSON at byte 0: the body is empty"},
      {"TrailingText", envelope("GetEmail", "[]") + " x", 400, nullptr, -32700,
       "Malformed JSON at byte 64: unexpected text after the value"},
      {"BadUtf8", envelope("GetEmail", "[\"\xC3\x28\"]"), 400, nullptr, -32700,
       "Malformed JSON at byte 62: the text holds bytes that are not UTF-8"},
      {"NotAnObject", R"("GetEmail")", 400, nullptr, -32600, "A request must be a JSON object"},
      {"Batch", "[" + envelope("GetEmail", "[]") + "]", 400, nullptr, -32600,
       "Batch requests are not accepted: send one call per request"},
      {"NoVersion", R"({"id": 3, "method": "GetEmail", "params": []})", 400, 3, -32600,
       "The request's \"jsonrpc\" must be \"2.0\""},
      {"OldVersion", R"({"jsonrpc": "1.0", "id": 3, "method": "GetEmail"})", 400, 3, -32600,
       "The request's \"jsonrpc\" must be \"2.0\""},
      {"NoMethod", R"({"jsonrpc": "2.0", "id": "x1", "params": []})", 400, "x1", -32600,
       "The request has no \"method\""},
      {"ObjectId", R"({"jsonrpc": "2.0", "id": {}, "method": "GetEmail"})", 400, nullptr, -32600,
       "The request's \"id\" must be a number, a text or null"},
      {"UnknownMethod", envelope("SetFoo", "[]"), 200, 3, -32601,
       "Unknown method 'SetFoo': ZEB18000.rdmImpEmailInt offers GetEmail, SetDelEmail, SetEmail "
       "and GetEmailStats"},
      {"NamedParams", envelope("SetDelEmail", R"({"year": "2025"})"), 200, 3, -32602,
       "Named params are not accepted: \"params\" must be an array of values"},
      {"GetEmailWithParams", envelope("GetEmail", "[1]"), 200, 3, -32602,
       "GetEmail takes no params, not 1"},
      {"SetDelEmailTwoParams", envelope("SetDelEmail", R"(["2025", "12"])"), 200, 3, -32602,
       "SetDelEmail takes 3 params (year, month, day), not 2"},
      {"SetDelEmailNumbers", envelope("SetDelEmail", "[2025, 12, 5]"), 200, 3, -32602,
       "SetDelEmail: the year must be a text"},
      {"SetDelEmailBadDay", envelope("SetDelEmail", R"(["2025", "12", "5"])"), 200, 3, -32602,
       "SetDelEmail: the day must be two digits from 01 to 31, not '5'"},
      {"SetEmailNoParams", envelope("SetEmail", "[]"), 200, 3, -32602,
       "SetEmail takes 1 param (the delta), not 0"},
      {"SetEmailPacketNotDelta",
       setEmailWith({{"columns", json::parse(columnsJson())}, {"rows", json::array()}}), 200, 3,
       -32602, "SetEmail: the delta has no \"changes\""},
      {"MissingColumn", setEmailWith(withoutColumn), 200, 3, -32602,
       "SetEmail: the delta lacks the column 'QTEMAIL'"},
      {"UnknownColumn", setEmailWith(withExtraColumn), 200, 3, -32602,
       "SetEmail: unknown column 'CDEXTRA'"},
      {"ColumnTwice", setEmailWith(withTwice), 200, 3, -32602,
       "SetEmail: the column 'QTEMAIL' comes twice"},
      {"ColumnOfWrongType", setEmailWith(wrongType), 200, 3, -32602,
       "SetEmail: the column 'VRVOLDADOS' must have the type double, not 'string'"},
      {"TextLongerThanColumn", one(insertChange(longOrigin)), 200, 3, -32602,
       "SetEmail: change 1: NMORIGEM in \"row\" has 151 characters, more than its 150"},
      {"CharactersNotBytesCount", one(insertChange(wideBranch)), 200, 3, -32602,
       "SetEmail: change 1: CDFILIAL in \"row\" has 5 characters, more than its 4"},
      {"NumberForText", one(updateChange(good, numberText)), 200, 3, -32602,
       "SetEmail: change 1: NMDESTINO in \"row\" must be a text"},
      {"TextForNumber", one(deleteChange(textNumber)), 200, 3, -32602,
       "SetEmail: change 1: VRVOLDADOS in \"old\" must be a number"},
      {"ShortRow", one(insertChange(shortRow)), 200, 3, -32602,
       "SetEmail: change 1: \"row\" must hold 11 values, not 10"},
      {"BadDateInRow", one(insertChange(badMonth)), 200, 3, -32602,
       "SetEmail: change 1: MEETLEMAIL in \"row\" must be two digits from 01 to 12, not '13'"},
      {"UnknownOp", one({{"op", "upsert"}, {"row", good}}), 200, 3, -32602,
       "SetEmail: change 1 has the unknown op 'upsert' (insert, update or delete)"},
      {"UpdateWithoutOld", one({{"op", "update"}, {"row", good}}), 200, 3, -32602,
       "SetEmail: change 1 (update) has no \"old\" row"},
      // A fault of the envelope goes before one of the params, wherever the body puts them.
      {"OldVersionAfterBadDelta",
       R"({"id": 3, "method": "SetEmail", "params": [{"columns": 5}], "jsonrpc": "1.0"})", 400, 3,
       -32600, "The request's \"jsonrpc\" must be \"2.0\""},
      {"BadDeltaBeforeTheMethod",
       R"({"jsonrpc": "2.0", "id": 3, "params": [{"columns": 5}], "method": "SetEmail"})", 200, 3,
       -32602, "SetEmail: \"columns\" must be an array of column objects"},
      // A body that is not JSON is reported as such even when an earlier change is refused.
      {"NotJsonAfterABadChange", afterBadChange, 400, nullptr, -32700,
       "Malformed JSON at byte " + std::to_string(afterBadChange.find("[01]") + 1) +
           ": a number that is not well-formed or out of range"},
  };
}

class ServerBadRequestTest : public ServerTest, public ::testing::WithParamInterface<BadRequest> {};

TEST_P(ServerBadRequestTest, AnswersTheErrorAndChangesNothing) {
  const BadRequest& c = GetParam();
  mark("2025", "12", "01");
  setEmail({insertChange(statRow("0001", "keep@x.com", "b@x.com", "2025-12-05", 1, 1))});
  mark("2025", "12", "01");  // a bad batch must not replace the day either
  Reply reply = post(c.body);
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.body, (json{{"jsonrpc", "2.0"},
                              {"id", c.id},
                              {"error", {{"code", c.code}, {"message", c.message}}}}));
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 keep@x.com b@x.com 2025-12-05 1 1"});
  EXPECT_EQ(ok("GetEmail", json::array())["rows"], json::array());  // still serving
}

INSTANTIATE_TEST_SUITE_P(Kinds, ServerBadRequestTest, ::testing::ValuesIn(badRequests()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerTest, CallWithoutSessionHeaderIsRefused) {
  Reply reply = post(envelope("GetEmail", "[]"), nullptr);
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body["id"], 3);
  EXPECT_EQ(reply.body["error"], (json{{"code", -32001},
                                       {"message",
                                        "The call has no X-Zeb-Session header naming "
                                        "its import session"}}));
}

TEST_F(ServerTest, MalformedSessionHeaderIsRefused) {
  Reply reply = post(envelope("GetEmail", "[]"), "0123456789ABCDEF0123456789ABCDEF");
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body["error"],
            (json{{"code", -32001},
                  {"message",
                   "The X-Zeb-Session header must be 32 lower-case hex characters, "
                   "not '0123456789ABCDEF0123456789ABCDEF'"}}));
}

TEST_F(ServerTest, CallThatIsNotJsonContentIsRefused) {
  Reply reply = post(envelope("GetEmail", "[]"), kSessionA, kPath, "text/plain");
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.body["error"],
            (json{{"code", -32600},
                  {"message", "A call must be sent as application/json, not 'text/plain'"}}));
}

TEST_F(ServerTest, CallToAnUnknownObjectAnswers404) {
  Reply reply = post(envelope("GetEmail", "[]"), kSessionA, "/rpc/ZEB18000.rdmOther");
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.body["error"], (json{{"code", -32601},
                                       {"message",
                                        "Unknown object 'ZEB18000.rdmOther': this server offers "
                                        "ZEB18000.rdmImpEmailInt"}}));
}

TEST_F(ServerTest, RequestOutsideTheObjectPathAnswers404WithAnError) {
  Reply reply = post(envelope("GetEmail", "[]"), kSessionA, "/other");
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.body["error"],
            (json{{"code", -32601},
                  {"message",
                   "Nothing at POST /other: the remote object is at "
                   "/rpc/ZEB18000.rdmImpEmailInt (GET: handshake, POST: calls)"}}));
}

TEST_F(ServerTest, BodyOver64MiBAnswers413) {
  std::string body(std::size_t{64} << 20, ' ');
  body += "x";
  Reply reply = post(body);
  EXPECT_EQ(reply.status, 413);
  EXPECT_EQ(reply.body["error"],
            (json{{"code", -32600},
                  {"message",
                   "The request body of 67108865 bytes is over the limit of 67108864 "
                   "bytes (64 MiB)"}}));
  EXPECT_EQ(ok("GetEmail", json::array())["rows"], json::array());
}

// --- Storing and replacing ------------------------------------------------------------------

TEST_P(ServerStoreTest, SetEmailStoresTheBatchAndCountsItsChanges) {
  mark("2025", "12", "05");
  json a = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 100, 1);
  json a2 = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 300, 2);
  json c = statRow("0001", "c@x.com", "b@x.com", "2025-12-06", 50, 1);
  EXPECT_EQ(setEmail({insertChange(a), insertChange(c)}),
            json::parse(R"({"inserted": 2, "updated": 0, "deleted": 0, "replacedDays": 2})"));
  EXPECT_EQ(setEmail({updateChange(a, a2), deleteChange(c)}),
            json::parse(R"({"inserted": 0, "updated": 1, "deleted": 1, "replacedDays": 0})"));
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-05 300 2"});
}

// The delta is read while the envelope is, when the method comes first; the body's last
// "params" and last "method" are the call's, whatever their order.
TEST_P(ServerStoreTest, SetEmailTakesTheLastParamsWhereverTheMethodStands) {
  mark("2025", "12", "05");
  auto params = [](const char* origin) {
    return json::array({deltaOf(json::array({insertChange(
                           statRow("0001", origin, "b@x.com", "2025-12-05", 1, 1))}))})
        .dump();
  };
  const std::string head = R"({"jsonrpc": "2.0", "id": 3, )";
  for (const std::string& body : {
           head + R"("params": )" + params("first@x.com") + R"(, "method": "SetEmail"})",
           head + R"("method": "SetEmail", "params": )" + params("gone@x.com") + R"(, "params": )" +
               params("second@x.com") + "}",
           head + R"("method": "SetEmail", "params": )" + params("gone@x.com") +
               R"(, "method": "GetEmail", "params": )" + params("third@x.com") +
               R"(, "method": "SetEmail"})",
       }) {
    Reply reply = post(body);
    EXPECT_EQ(reply.body["result"]["inserted"], 1) << reply.body.dump();
  }
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 first@x.com b@x.com 2025-12-05 1 1",
                                                "0001 second@x.com b@x.com 2025-12-05 1 1",
                                                "0001 third@x.com b@x.com 2025-12-05 1 1"}));
}

TEST_P(ServerStoreTest, StoredRowKeepsEveryColumnExactly) {
  mark("2025", "03", "01");
  json row = statRow("0001", "Jos\u00e9@x.com", "b@x.com", "2025-03-01", 4294967296.0 * 1000, 3);
  setEmail({insertChange(row)});
  json back;
  openReader()->forEach({}, [&](const EmailRow& r) {
    back = json::array();
    for (std::string_view t : r.texts) back.push_back(std::string(t));
    back.push_back(r.volume);
    back.push_back(r.count);
  });
  EXPECT_EQ(back, row);
  EXPECT_EQ(back[6], "2\u00b0Bim");
}

// The module uploads a fresh fold of the log in batches: later batches update rows that
// earlier ones inserted, and a day can span batches.
TEST_P(ServerStoreTest, SameBatchesTwiceLeaveTheSameTable) {
  auto import = [&](const char* session) {
    mark("2025", "12", "05", session);
    json a1 = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 100, 1);
    json a2 = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 250, 2);
    setEmail(
        {insertChange(a1), insertChange(statRow("0001", "c@x.com", "d@x.com", "2025-12-05", 7, 1))},
        session);
    setEmail({updateChange(a1, a2),
              insertChange(statRow("0001", "e@x.com", "d@x.com", "2025-12-05", 9, 1)),
              insertChange(statRow("0001", "e@x.com", "d@x.com", "2025-12-06", 11, 1))},
             session);
  };
  import(kSessionA);
  std::vector<std::string> once = stored();
  import(kSessionB);
  EXPECT_EQ(stored(), once);
  import(kSessionA);  // the same session again: SetDelEmail starts a new import
  EXPECT_EQ(stored(), once);
  EXPECT_EQ(once,
            (std::vector<std::string>{
                "0001 a@x.com b@x.com 2025-12-05 250 2", "0001 c@x.com d@x.com 2025-12-05 7 1",
                "0001 e@x.com d@x.com 2025-12-05 9 1", "0001 e@x.com d@x.com 2025-12-06 11 1"}));
}

TEST_P(ServerStoreTest, OverlappingLogReplacesJustTheDaysItHolds) {
  mark("2025", "12", "01");
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-01", 1, 1)),
            insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-02", 2, 1)),
            insertChange(statRow("0001", "gone@x.com", "b@x.com", "2025-12-02", 3, 1))});
  mark("2025", "12", "02", kSessionB);
  EXPECT_EQ(setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-02", 20, 2)),
                      insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-03", 30, 3))},
                     kSessionB)["replacedDays"],
            2);
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-01 1 1",
                                                "0001 a@x.com b@x.com 2025-12-02 20 2",
                                                "0001 a@x.com b@x.com 2025-12-03 30 3"}));
}

TEST_P(ServerStoreTest, OlderLogNeverErasesNewerDays) {
  mark("2025", "12", "10");
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-10", 1, 1)),
            insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-11", 2, 1))});
  mark("2025", "12", "01", kSessionB);
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-01", 5, 1))}, kSessionB);
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-01 5 1",
                                                "0001 a@x.com b@x.com 2025-12-10 1 1",
                                                "0001 a@x.com b@x.com 2025-12-11 2 1"}));
}

TEST_P(ServerStoreTest, DaysBeforeTheMarkAreNotReplaced) {
  mark("2025", "12", "01");
  setEmail({insertChange(statRow("0001", "old@x.com", "b@x.com", "2025-11-30", 1, 1))});
  mark("2025", "12", "01", kSessionB);
  EXPECT_EQ(setEmail({insertChange(statRow("0001", "new@x.com", "b@x.com", "2025-11-30", 2, 1))},
                     kSessionB)["replacedDays"],
            0);
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 new@x.com b@x.com 2025-11-30 2 1",
                                                "0001 old@x.com b@x.com 2025-11-30 1 1"}));
}

TEST_P(ServerStoreTest, OtherBranchesAreNeverTouched) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1))});
  mark("2025", "12", "05", kSessionB);
  setEmail({insertChange(statRow("0002", "a@x.com", "b@x.com", "2025-12-05", 2, 1))}, kSessionB);
  mark("2025", "12", "05", kSessionB);
  setEmail({insertChange(statRow("0002", "c@x.com", "b@x.com", "2025-12-05", 3, 1))}, kSessionB);
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-05 1 1",
                                                "0002 c@x.com b@x.com 2025-12-05 3 1"}));
}

TEST_P(ServerStoreTest, SessionWithoutMarkReplacesNothing) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1))});
  EXPECT_EQ(setEmail({insertChange(statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 2, 1))},
                     kSessionB)["replacedDays"],
            0);
  EXPECT_EQ(stored().size(), 2u);
}

TEST_P(ServerStoreTest, InterleavedSessionsOnOneDayKeepEveryBatchWhole) {
  json a1 = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 10, 1);
  json a2 = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 30, 2);
  mark("2025", "12", "05");
  setEmail({insertChange(a1)});
  mark("2025", "12", "05", kSessionB);
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 99, 9)),
            insertChange(statRow("0001", "z@x.com", "b@x.com", "2025-12-05", 5, 1))},
           kSessionB);
  // B, which marked its date after A, has taken the day: A's later change of it is dropped, so
  // that the day holds B's rows alone, as if A had run before B rather than beside it.
  json late = setEmail({updateChange(a1, a2)});
  EXPECT_EQ(late["replacedDays"], 0);
  EXPECT_EQ(late["updated"], 0);
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-05 99 9",
                                                "0001 z@x.com b@x.com 2025-12-05 5 1"}));
}

TEST_P(ServerStoreTest, BatchWithABadThirdChangeStoresNothing) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "keep@x.com", "b@x.com", "2025-12-05", 1, 1))});
  mark("2025", "12", "05", kSessionB);
  json bad = statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 3, 1);
  bad[3] = "25";
  Reply reply = call("SetEmail",
                     json::array({deltaOf(json::array(
                         {insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1)),
                          insertChange(statRow("0001", "b@x.com", "b@x.com", "2025-12-06", 2, 1)),
                          insertChange(bad)}))}),
                     kSessionB);
  EXPECT_EQ(reply.body["error"]["message"],
            "SetEmail: change 3: ANETLEMAIL in \"row\" must be four digits, not '25'");
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 keep@x.com b@x.com 2025-12-05 1 1"});
  // The refused batch replaced nothing, so the next one still replaces the day.
  EXPECT_EQ(setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1))},
                     kSessionB)["replacedDays"],
            1);
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-05 1 1"});
}

// A NUL in a text, as a log holds where its machine crashed while writing it, is stored as
// U+FFFD by every backend, and later changes find the row by the text they sent.
TEST_P(ServerStoreTest, NulInATextIsStoredAsTheReplacementCharacter) {
  mark("2025", "12", "05");
  const std::string nulA("a\0b@x.com", 9), nulC("c\0\0@x.com", 9);
  json a = statRow("0001", nulA, "b@x.com", "2025-12-05", 1, 1);
  json c = statRow("0001", nulC, "b@x.com", "2025-12-05", 2, 1);
  setEmail({insertChange(a), insertChange(c)});
  setEmail({updateChange(a, statRow("0001", nulA, "b@x.com", "2025-12-05", 5, 1)),
            insertChange(statRow("0001", "d@x.com", std::string(150, '\0'), "2025-12-05", 3, 1)),
            deleteChange(c)});
  std::string wideNul;
  for (int i = 0; i < 150; ++i) wideNul += "\xEF\xBF\xBD";
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a\xEF\xBF\xBD" "b@x.com b@x.com 2025-12-05 5 1",
                                                "0001 d@x.com " + wideNul + " 2025-12-05 3 1"}));
}

// --- Rows that no import produces -----------------------------------------------------------

struct RefusedRow {
  const char* name;
  json row;     // among good rows, as the third change of its batch
  bool update;  // sent as the new values of an update rather than as an insert
  std::string message;
};

void PrintTo(const RefusedRow& c, std::ostream* os) { *os << c.name; }

// A row of 2024-02-29 (a leap day) from a@example.com with "column" set to "value".
json rowWith(Column column, const json& value) {
  json row = statRow("0001", "a@example.com", "b@example.org", "2024-02-29", 100, 2);
  row[column] = value;
  return row;
}

std::vector<RefusedRow> refusedRows() {
  auto dated = [](const std::string& date) {
    return statRow("0001", "a@example.com", "b@example.org", date, 100, 2);
  };
  const std::string change = "SetEmail: change 3: ";
  const std::string range = " must be a whole number from ";
  const std::string top = " to 9007199254740992, not ";
  return {
      {"February31", dated("2025-02-31"), false,
       change + "DIETLEMAIL in \"row\" must be a day of 2025-02 (01 to 28), not '31'"},
      {"February29OfACommonYear", dated("2025-02-29"), false,
       change + "DIETLEMAIL in \"row\" must be a day of 2025-02 (01 to 28), not '29'"},
      {"February29OfACenturyYear", dated("1900-02-29"), false,
       change + "DIETLEMAIL in \"row\" must be a day of 1900-02 (01 to 28), not '29'"},
      {"April31InAnUpdate", dated("2025-04-31"), true,
       change + "DIETLEMAIL in \"row\" must be a day of 2025-04 (01 to 30), not '31'"},
      {"Day00", rowWith(kDIETLEMAIL, "00"), false,
       change + "DIETLEMAIL in \"row\" must be two digits from 01 to 31, not '00'"},
      {"Month13", dated("2025-13-01"), false,
       change + "MEETLEMAIL in \"row\" must be two digits from 01 to 12, not '13'"},
      {"ThreeDigitYear", rowWith(kANETLEMAIL, "202"), false,
       change + "ANETLEMAIL in \"row\" must be four digits, not '202'"},
      {"WideBranch", rowWith(kCDFILIAL, "00001"), false,
       change + "CDFILIAL in \"row\" has 5 characters, more than its 4"},
      {"NegativeVolume", rowWith(kVRVOLDADOS, -987), false,
       change + "VRVOLDADOS in \"row\"" + range + "0" + top + "-987"},
      {"FractionalVolume", rowWith(kVRVOLDADOS, 10.5), true,
       change + "VRVOLDADOS in \"row\"" + range + "0" + top + "10.5"},
      {"VolumePastExactWholes", rowWith(kVRVOLDADOS, 1e300), false,
       change + "VRVOLDADOS in \"row\"" + range + "0" + top + "1e+300"},
      {"NoMessages", rowWith(kQTEMAIL, 0), false,
       change + "QTEMAIL in \"row\"" + range + "1" + top + "0"},
      {"FractionalCount", rowWith(kQTEMAIL, 2.25), true,
       change + "QTEMAIL in \"row\"" + range + "1" + top + "2.25"},
      {"BimesterOfAnotherMonth", rowWith(kBIETLEMAIL, "2\u00b0Bim"), false,
       change + "BIETLEMAIL in \"row\" must be '1\u00b0Bim' for the month 02, not '2\u00b0Bim'"},
      {"TrimesterWithoutDegreeSign", rowWith(kTRETLEMAIL, "1Tri"), false,
       change + "TRETLEMAIL in \"row\" must be '1\u00b0Tri' for the month 02, not '1Tri'"},
      {"SemesterWithOrdinalSign", rowWith(kSEETLEMAIL, "1\u00baSem"), true,
       change + "SEETLEMAIL in \"row\" must be '1\u00b0Sem' for the month 02, not '1\u00baSem'"},
  };
}

class ServerRefusedRowTest : public ServerTest, public ::testing::WithParamInterface<RefusedRow> {};

// A batch holding one bad row among good ones stores nothing of itself, not even the days it
// would replace; the import's next batch is stored as if the bad one had never come.
TEST_P(ServerRefusedRowTest, RefusesTheBatchWholeAndTakesTheNextOne) {
  const RefusedRow& c = GetParam();
  mark("2024", "02", "01");
  setEmail(
      {insertChange(statRow("0001", "keep@example.com", "b@example.org", "2024-02-28", 1, 1)),
       insertChange(statRow("0001", "keep@example.com", "b@example.org", "2024-02-29", 1, 1))});
  server_->flush();
  const std::vector<std::string> before = stored();
  mark("2024", "02", "01", kSessionB);
  json good1 = statRow("0001", "new@example.com", "b@example.org", "2024-02-28", 5, 1);
  json good2 = statRow("0001", "new@example.com", "b@example.org", "2024-02-29", 7, 1);
  json bad = c.update ? updateChange(good2, c.row) : insertChange(c.row);
  Reply reply =
      call("SetEmail", json::array({deltaOf({insertChange(good1), insertChange(good2), bad})}),
           kSessionB);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body["error"], (json{{"code", -32602}, {"message", c.message}}));
  server_->flush();
  EXPECT_EQ(stored(), before);
  EXPECT_EQ(setEmail({insertChange(good1), insertChange(good2)}, kSessionB)["replacedDays"], 2);
  EXPECT_EQ(stored(),
            (std::vector<std::string>{"0001 new@example.com b@example.org 2024-02-28 5 1",
                                      "0001 new@example.com b@example.org 2024-02-29 7 1"}));
}

INSTANTIATE_TEST_SUITE_P(Faults, ServerRefusedRowTest, ::testing::ValuesIn(refusedRows()),
                         [](const auto& info) { return std::string(info.param.name); });

// What an import does produce passes, at the edges of each rule; an old row only names the key
// it replaces, whatever values it was stored with.
TEST_P(ServerStoreTest, RowsAtTheEdgesOfWhatAnImportProducesAreStored) {
  mark("2000", "02", "01");
  json leapCentury = statRow("0001", "a@example.com", "b@example.org", "2000-02-29", 0, 1);
  json december = statRow("0001", "a@example.com", "b@example.org", "2025-12-31",
                          9007199254740992.0, 9007199254740992.0);
  json legacy = rowWith(kQTEMAIL, -4);
  legacy[kVRVOLDADOS] = 0.5;
  EXPECT_EQ(setEmail({insertChange(leapCentury), insertChange(december),
                      updateChange(legacy, statRow("0001", "a@example.com", "b@example.org",
                                                   "2024-02-29", 3, 1))})["updated"],
            1);
  EXPECT_EQ(stored(), (std::vector<std::string>{
                          "0001 a@example.com b@example.org 2000-02-29 0 1",
                          "0001 a@example.com b@example.org 2024-02-29 3 1",
                          "0001 a@example.com b@example.org 2025-12-31 9007199254740992 "
                          "9007199254740992"}));
}

// The pending file cannot grow past a limit set on this process: a large batch fails to be
// written, a small one still fits.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of killing us
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit saved_{};
  void (*oldHandler_)(int) = nullptr;
};

TEST_F(ServerTest, BatchThatCannotBeAcceptedStoresNothingAndTheServerGoesOn) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "keep@x.com", "b@x.com", "2025-12-05", 1, 1))});
  server_->flush();
  mark("2025", "12", "05", kSessionB);
  json changes = json::array();
  for (int i = 0; i < 4000; ++i) {
    std::string origin = "sender" + std::to_string(i) + "@x.com";
    changes.push_back(insertChange(statRow("0001", origin, "b@x.com", "2025-12-05", 1, 1)));
  }
  Reply reply;
  {
    FileSizeLimit limit(256 * 1024);
    reply = call("SetEmail", json::array({deltaOf(changes)}), kSessionB);
  }
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(
      reply.body["error"],
      (json{{"code", -32000},
            {"message", "writing a batch to the pending file '" +
                            (dir_ / "stats.db-pending").string() + "' failed: File too large"}}));
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 keep@x.com b@x.com 2025-12-05 1 1"});
  // The day was not replaced by the failed batch, so the next one still replaces it.
  EXPECT_EQ(setEmail({insertChange(statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 1, 1))},
                     kSessionB)["replacedDays"],
            1);
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 c@x.com b@x.com 2025-12-05 1 1"});
}

// A batch accepted is never dropped: when the table refuses it, it waits in the pending file,
// readers hear why, and it is merged, with everything after it, once the fault is gone.
TEST_F(ServerTest, BatchTheTableRefusesWaitsUntilTheFaultIsGone) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "keep@x.com", "b@x.com", "2025-12-05", 1, 1))});
  server_->flush();
  test::execOn(dir_ / "stats.db",
               "CREATE TRIGGER refuse BEFORE INSERT ON estatistica_email"
               " WHEN NEW.NMORIGEM = 'boom@x.com'"
               " BEGIN SELECT RAISE(ABORT, 'refused here'); END");
  setEmail({insertChange(statRow("0001", "boom@x.com", "b@x.com", "2025-12-05", 1, 1))});
  setEmail({insertChange(statRow("0001", "late@x.com", "b@x.com", "2025-12-05", 1, 1))});
  const std::string why =
      "Database '" + (dir_ / "stats.db").string() + "': storing a row: refused here";
  try {
    server_->flush();
    ADD_FAILURE() << "the refused batch was reported merged";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()), why);
  }
  try {
    stored();
    ADD_FAILURE() << "a reader saw the table without the refused batch";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()), why);
  }
  test::execOn(dir_ / "stats.db", "DROP TRIGGER refuse");
  server_->flush();
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 boom@x.com b@x.com 2025-12-05 1 1",
                                                "0001 keep@x.com b@x.com 2025-12-05 1 1",
                                                "0001 late@x.com b@x.com 2025-12-05 1 1"}));
}

// A stop that cannot merge what it accepted says so: the server is stopped all the same, the
// batch waits in the pending file, and the next start merges it. While the merge is retried the
// failure is reported once, not once a retry.
TEST_F(ServerTest, StopRaisesTheMergeFailureAndTheNextStartMergesTheBatch) {
  mark("2025", "12", "05");
  test::execOn(dir_ / "stats.db",
               "CREATE TRIGGER refuse BEFORE INSERT ON estatistica_email"
               " BEGIN SELECT RAISE(ABORT, 'refused here'); END");
  setEmail(
      {insertChange(statRow("0001", "late@example.com", "b@example.org", "2025-12-05", 4, 1))});
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a retry or two
  const std::string why =
      "Database '" + (dir_ / "stats.db").string() + "': storing a row: refused here";
  try {
    server_->stop();
    ADD_FAILURE() << "the stop swallowed the failed merge";
  } catch (const platform::EInOutError&) {
    ADD_FAILURE() << "a table's failure is not a file's";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()), why);
  }
  EXPECT_EQ(reports(), std::vector<std::string>{why});
  EXPECT_NO_THROW(server_->stop());  // stopped already
  EXPECT_GT(fs::file_size(dir_ / "stats.db-pending"), 0u);

  test::execOn(dir_ / "stats.db", "DROP TRIGGER refuse");
  server_ = std::make_unique<Server>(options_);
  server_->start();
  server_.reset();
  EXPECT_FALSE(fs::exists(dir_ / "stats.db-pending"));
  server_ = std::make_unique<Server>(options_);  // for the fixture to stop
  EXPECT_EQ(stored(),
            std::vector<std::string>{"0001 late@example.com b@example.org 2025-12-05 4 1"});
  EXPECT_EQ(reports().size(), 1u);
}

// --- Updates and deletes --------------------------------------------------------------------

TEST_P(ServerStoreTest, UpdateFindsTheOldRowWhateverTheLetterCase) {
  mark("2025", "12", "05");
  setEmail({insertChange(statRow("0001", "Ana@X.com", "b@x.com", "2025-12-05", 1, 1))});
  setEmail({updateChange(statRow("0001", "ana@x.COM", "B@x.com", "2025-12-05", 1, 1),
                         statRow("0001", "ana@x.COM", "B@x.com", "2025-12-05", 5, 2))});
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 ana@x.COM B@x.com 2025-12-05 5 2"});
}

// The key folds the letters A to Z alone, as SQLite's NOCASE does: accented capitals are other
// addresses, whatever the database's locale would make of them.
TEST_P(ServerStoreTest, OnlyAsciiLettersFoldInTheKey) {
  setEmail({insertChange(statRow("0001", "jos\u00e9@x.com", "b@x.com", "2025-12-05", 1, 1)),
            insertChange(statRow("0001", "JOS\u00c9@x.com", "b@x.com", "2025-12-05", 2, 1)),
            insertChange(statRow("0001", "Jos\u00e9@X.com", "b@x.com", "2025-12-05", 3, 1))});
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 JOS\u00c9@x.com b@x.com 2025-12-05 2 1",
                                                "0001 Jos\u00e9@X.com b@x.com 2025-12-05 3 1"}));
}

// Texts may hold any control character: keys that differ only in where one ends and the next
// begins stay apart, in the order of their parts, and a change finds its own row alone.
TEST_P(ServerStoreTest, KeysStayApartWhateverControlCharactersTheTextsHold) {
  mark("2025", "12", "05");
  json first = statRow("0001", "a", "\x01x", "2025-12-05", 1, 1);
  json second = statRow("0001", "a\x01", "x", "2025-12-05", 2, 1);
  json third = statRow("0001", "a\x01\x02", "", "2025-12-05", 3, 1);
  setEmail({insertChange(third), insertChange(second), insertChange(first)});
  EXPECT_EQ(stored(),
            (std::vector<std::string>{"0001 a \x01x 2025-12-05 1 1", "0001 a\x01 x 2025-12-05 2 1",
                                      "0001 a\x01\x02  2025-12-05 3 1"}));
  setEmail({deleteChange(second),
            updateChange(third, statRow("0001", "a\x01\x02", "", "2025-12-05", 9, 9))});
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a \x01x 2025-12-05 1 1",
                                                "0001 a\x01\x02  2025-12-05 9 9"}));
}

TEST_P(ServerStoreTest, InsertMeetingAStoredKeyOverwritesIt) {
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1))});
  setEmail({insertChange(statRow("0001", "A@X.com", "b@x.com", "2025-12-05", 7, 3))}, kSessionB);
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 A@X.com b@x.com 2025-12-05 7 3"});
}

TEST_P(ServerStoreTest, UpdateWhoseOldRowIsGoneStoresTheNewRow) {
  setEmail({updateChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1),
                         statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 4, 2))});
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-05 4 2"});
}

TEST_P(ServerStoreTest, UpdateThatChangesTheKeyMovesTheRowOverAnyRowThere) {
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1)),
            insertChange(statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 2, 1))});
  setEmail({updateChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1),
                         statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 9, 9))});
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 c@x.com b@x.com 2025-12-05 9 9"});
}

TEST_P(ServerStoreTest, DeleteRemovesTheRowAndIgnoresOneThatIsGone) {
  json a = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1);
  json c = statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 2, 1);
  setEmail({insertChange(a), insertChange(c)});
  EXPECT_EQ(setEmail({deleteChange(a), deleteChange(a)})["deleted"], 2);
  EXPECT_EQ(stored(), std::vector<std::string>{"0001 c@x.com b@x.com 2025-12-05 2 1"});
}

// --- Sessions and clients -------------------------------------------------------------------

TEST_P(ServerStoreTest, QuietSessionExpiresAndItsMarkWithIt) {
  mark("2025", "12", "05", kSessionB);
  setEmail({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1))}, kSessionB);
  mark("2025", "12", "05");
  minutes_ = 59;  // still alive: its first batch replaces the day
  EXPECT_EQ(setEmail({insertChange(
                statRow("0001", "c@x.com", "b@x.com", "2025-12-06", 1, 1))})["replacedDays"],
            1);
  minutes_ = 59 + 61;  // quiet for longer than the hour: forgotten
  EXPECT_EQ(setEmail({insertChange(
                statRow("0001", "d@x.com", "b@x.com", "2025-12-05", 2, 1))})["replacedDays"],
            0);
  EXPECT_EQ(stored(), (std::vector<std::string>{"0001 a@x.com b@x.com 2025-12-05 1 1",
                                                "0001 d@x.com b@x.com 2025-12-05 2 1",
                                                "0001 c@x.com b@x.com 2025-12-06 1 1"}));
}

TEST_P(ServerStoreTest, SeveralClientsStoreAtOnce) {
  constexpr int kClients = 4, kBatches = 10, kRows = 50;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      std::string session(32, static_cast<char>('a' + t));
      std::string branch = "000" + std::to_string(t);
      httplib::Client c("127.0.0.1", server_->port());
      auto send = [&](const std::string& method, const json& params) {
        json request = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}};
        auto res = c.Post(kPath, {{"X-Zeb-Session", session}}, request.dump(), "application/json");
        if (!res || res->status != 200 || json::parse(res->body).contains("error")) ++failures;
      };
      send("SetDelEmail", json::array({"2025", "12", "01"}));
      for (int b = 0; b < kBatches; ++b) {
        json changes = json::array();
        for (int r = 0; r < kRows; ++r) {
          changes.push_back(
              insertChange(statRow(branch, "u" + std::to_string(b * kRows + r) + "@x.com",
                                   "b@x.com", "2025-12-01", 1, 1)));
        }
        send("SetEmail", json::array({deltaOf(changes)}));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  for (int t = 0; t < kClients; ++t) {
    EXPECT_EQ(stored("000" + std::to_string(t)).size(), std::size_t{kBatches * kRows});
  }
}

TEST_F(ServerTest, DatabaseThatCannotBeOpenedFailsTheStart) {
  ServerOptions options;
  options.port = 0;
  options.databasePath = (dir_ / "missing" / "stats.db").string();
  Server other(options);
  try {
    other.start();
    FAIL() << "started";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()), "Database '" + options.databasePath +
                                         "': cannot open it: unable to open database file");
  }
}

TEST_F(ServerTest, PortInUseFailsTheStart) {
  ServerOptions options;
  options.port = server_->port();
  options.databasePath = (dir_ / "other.db").string();
  Server other(options);
  try {
    other.start();
    FAIL() << "started";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot listen on 127.0.0.1:" + std::to_string(server_->port()) +
                  ": the address is in use or not available");
  }  // It leaves no database behind: the one it had made is gone with it.
  EXPECT_FALSE(fs::exists(options.databasePath));
}

// With PostgreSQL any server of a database takes any call of any session: one import's calls
// spread over two servers store what they store on one server of its own.
TEST(SeveralServersTest, AnImportSpreadOverTwoServersStoresWhatOneServerStores) {
  test::PostgresSchema schema;
  ZEB_REQUIRE_POSTGRESQL(schema.uri());
  fs::path dir = test::freshTestDirectory("zeb_server_test_");
  auto importOver = [&](const std::string& database, std::size_t count) {
    std::vector<std::unique_ptr<Server>> servers;
    for (std::size_t i = 0; i < count; ++i) {
      ServerOptions options;
      options.port = 0;
      options.databasePath = database;
      servers.push_back(std::make_unique<Server>(options));
      servers.back()->start();
    }
    std::size_t calls = 0;
    auto send = [&](const char* session, const std::string& method, const json& params) {
      Server& to = *servers[calls++ % servers.size()];
      httplib::Client c("127.0.0.1", to.port());
      json request = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}};
      auto res = c.Post(kPath, {{"X-Zeb-Session", session}}, request.dump(), "application/json");
      ASSERT_TRUE(res);
      EXPECT_FALSE(json::parse(res->body).contains("error")) << res->body;
    };
    auto batch = [&](const char* session, const std::vector<json>& changes) {
      send(session, "SetEmail", json::array({deltaOf(json(changes))}));
    };
    json a = statRow("0001", "a@x.com", "b@x.com", "2025-12-01", 10, 1);
    // The first import: its second batch carries a day that its first replaced already, on the
    // other server, which must not replace it again.
    send(kSessionA, "GetEmail", json::array());
    send(kSessionA, "SetDelEmail", json::array({"2025", "12", "01"}));
    batch(kSessionA, {insertChange(a)});
    batch(kSessionA, {updateChange(a, statRow("0001", "a@x.com", "b@x.com", "2025-12-01", 30, 2)),
                      insertChange(statRow("0001", "c@x.com", "b@x.com", "2025-12-01", 5, 1))});
    batch(kSessionA, {insertChange(statRow("0001", "c@x.com", "b@x.com", "2025-12-02", 7, 1))});
    // A second import of a later log, overlapping one day, replaces that day once.
    send(kSessionB, "SetDelEmail", json::array({"2025", "12", "02"}));
    batch(kSessionB, {insertChange(statRow("0001", "d@x.com", "b@x.com", "2025-12-02", 8, 1))});
    batch(kSessionB, {insertChange(statRow("0001", "e@x.com", "b@x.com", "2025-12-02", 9, 1)),
                      insertChange(statRow("0001", "e@x.com", "b@x.com", "2025-12-03", 4, 1))});
    servers.clear();
    BackendOptions open;
    open.database = database;
    open.readOnly = true;
    std::vector<std::string> lines;
    openStatisticsBackend(open)->forEach({}, [&](const EmailRow& r) {
      std::string line;
      for (std::string_view t : r.texts) line += std::string(t) + " ";
      lines.push_back(line + std::to_string(r.volume) + " " + std::to_string(r.count));
    });
    return lines;
  };
  std::vector<std::string> alone = importOver((dir / "stats.db").string(), 1);
  EXPECT_EQ(importOver(schema.uri(), 2), alone);
  EXPECT_EQ(alone.size(), 5u);
  fs::remove_all(dir);
}

// What a server that ended between accepting batches and merging them leaves pending (here
// written as a server of the version before wrote it: the delta text as it came) is merged by
// whichever server or listing comes next, in order and once: two servers starting at once on the
// database do not both merge it.
TEST(SeveralServersTest, BatchesLeftPendingAreMergedOnceInOrderByWhoeverComesNext) {
  test::PostgresSchema schema;
  ZEB_REQUIRE_POSTGRESQL(schema.uri());
  BackendOptions open;
  open.database = schema.uri();
  {
    // A day stored before, which the first pending batch replaces.
    auto backend = openStatisticsBackend(open);
    backend->startImport(kSessionA, "20251201");
    EmailBatch batch;
    std::string text = json::array({deltaOf(json::array({insertChange(statRow(
                                       "0001", "old@x.com", "b@x.com", "2025-12-01", 1, 1))}))})
                           .dump();
    decodeSetEmailParams(text, batch);
    backend->accept(kSessionA, text, batch);
  }
  // Pending as servers of earlier versions left them: the delta text as it came (version 2),
  // or the compact form as it is (version 3).
  auto pend = [&](const std::string& dayHex, const json& changes, bool compact) {
    std::string text = json::array({deltaOf(changes)}).dump();
    std::string delta = "convert_to('" + text + "', 'UTF8')";
    if (compact) {
      EmailBatch batch;
      decodeSetEmailParams(text, batch);
      std::string compactForm;
      encodeBatchRecord(batch, compactForm);
      std::string record = std::string(kPendingCompact) + compactForm;
      delta = "'\\x";
      for (unsigned char ch : record) {
        delta += "0123456789abcdef"[ch >> 4];
        delta += "0123456789abcdef"[ch & 15];
      }
      delta += "'::bytea";
    }
    schema.exec(
        "INSERT INTO zeb_pending_batch (seq, days, last_date, delta) VALUES"
        " (nextval('zeb_batch_number'), '\\x" +
        dayHex + "'::bytea, '20251201', " + delta + ")");
  };
  json a = statRow("0001", "a@x.com", "b@x.com", "2025-12-01", 10, 1);
  json c = statRow("0001", "c@x.com", "b@x.com", "2025-12-01", 5, 1);
  // The day key of branch 0001 on 2025-12-01: its length, the branch, the date.
  // clang-format off
  pend("04" "30303031" "3230323531323031", json::array({insertChange(a), insertChange(c)}), false);
  // clang-format on
  pend("",
       json::array({deleteChange(c),
                    updateChange(a, statRow("0001", "a@x.com", "b@x.com", "2025-12-01", 30, 2))}),
       true);
  {
    std::vector<std::unique_ptr<StatisticsBackend>> servers;
    for (int i = 0; i < 2; ++i) servers.push_back(openStatisticsBackend(open));
  }
  open.readOnly = true;
  std::vector<std::string> lines;
  openStatisticsBackend(open)->forEach({}, [&](const EmailRow& r) {
    lines.push_back(std::string(r.texts[kNMORIGEM]) + " " + std::to_string(r.volume));
  });
  EXPECT_EQ(lines, std::vector<std::string>{"a@x.com 30.000000"});
  PgConnection check(schema.uri());
  EXPECT_EQ(pgField(check.exec("SELECT count(*) FROM zeb_pending_batch", "counting").front(), 0, 0),
            "0");
}

// --- GetEmailStats ----------------------------------------------------------------------------

class StatsQueryTest : public ServerStoreTest {
 protected:
  // Two branches over four days; addresses that sort differently with and without case.
  void SetUp() override {
    ServerStoreTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    mark("2024", "02", "27");
    std::vector<json> changes;
    int n = 0;
    for (const char* branch : {"0001", "0002"}) {
      for (const char* date : {"2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01"}) {
        for (const char* origin : {"b@example.com", "A@example.com", "c@example.org"}) {
          for (const char* dest : {"Z@example.test", "y@example.test"}) {
            ++n;
            changes.push_back(
                insertChange(statRow(branch, origin, dest, date, 100 * n, n % 4 + 1)));
          }
        }
      }
    }
    setEmail(changes);
  }

  json page(const json& branch, const json& from, const json& to, const json& size,
            const json& after) {
    return ok("GetEmailStats", json::array({branch, from, to, size, after}));
  }
};

TEST_P(StatsQueryTest, PagesCoverTheRangeOnceInOrderAndTheTotalsAreTheirSums) {
  struct Case {
    const char* branch;
    const char* from;
    const char* to;
  };
  for (Case c :
       {Case{"0001", "2024-02-28", "2024-02-29"}, Case{"", "2024-01-01", "2024-12-31"},
        Case{"0002", "2024-03-01", "2024-03-01"}, Case{"0003", "2024-01-01", "2024-12-31"}}) {
    // What the table holds for the range, in its order, as the store lists it.
    std::vector<std::string> expected;
    for (const std::string& line : stored(c.branch)) {
      std::string date = line.substr(line.find(" 20") + 1, 10);
      if (date >= c.from && date <= c.to) expected.push_back(line);
    }
    for (int size : {1, 5, 12, 10000}) {
      SCOPED_TRACE(std::string(c.branch) + " " + c.from + " " + c.to + " by " +
                   std::to_string(size));
      std::vector<std::string> seen;
      std::map<std::string, std::pair<double, double>> days;
      double messages = 0, bytes = 0;
      json after = nullptr, first;
      for (int pages = 0; pages < 100; ++pages) {
        json result = page(c.branch, c.from, c.to, size, after);
        // The sums of the range come once, with the first page.
        if (after.is_null()) {
          first = result;
        } else {
          EXPECT_FALSE(result.contains("totals") || result.contains("days"));
        }
        EXPECT_LE(result["rows"].size(), static_cast<std::size_t>(size));
        for (const json& r : result["rows"]) {
          seen.push_back(r[0].get<std::string>() + " " + r[1].get<std::string>() + " " +
                         r[2].get<std::string>() + " " + r[3].get<std::string>() + "-" +
                         r[4].get<std::string>() + "-" + r[5].get<std::string>() + " " +
                         std::to_string(r[9].get<long long>()) + " " +
                         std::to_string(r[10].get<long long>()));
          std::string day = r[3].get<std::string>() + "-" + r[4].get<std::string>() + "-" +
                            r[5].get<std::string>();
          days[day].first += r[10].get<double>();
          days[day].second += r[9].get<double>();
          messages += r[10].get<double>();
          bytes += r[9].get<double>();
        }
        after = result["next"];
        if (after.is_null()) break;
      }
      EXPECT_EQ(seen, expected);
      EXPECT_EQ(first["totals"],
                (json{{"rows", expected.size()}, {"messages", messages}, {"bytes", bytes}}));
      json dayList = json::array();
      for (const auto& [day, sums] : days) dayList.push_back({day, sums.first, sums.second});
      EXPECT_EQ(first["days"], dayList);
    }
  }
}

TEST_P(StatsQueryTest, RowsComeWithEveryColumnAndTheNextKeyOfTheLastRow) {
  json result = page("0001", "2024-02-29", "2024-02-29", 2, nullptr);
  EXPECT_EQ(
      result["rows"],
      json::array({statRow("0001", "A@example.com", "y@example.test", "2024-02-29", 1600, 1),
                   statRow("0001", "A@example.com", "Z@example.test", "2024-02-29", 1500, 4)}));
  EXPECT_EQ(result["next"],
            json::array({"0001", "2024", "02", "29", "A@example.com", "Z@example.test"}));
}

// An "after" that no page gave, its date of other widths than a stored row's, is compared part
// by part: every row of 2024 comes after month "0".
TEST_P(StatsQueryTest, AnAfterKeyOfOtherWidthsIsComparedPartByPart) {
  json result = page("", "2024-01-01", "2024-12-31", 10000,
                     json::array({"0001", "2024", "0", "22X", "", ""}));
  EXPECT_EQ(result["rows"].size(), stored("").size());
}

TEST_P(StatsQueryTest, BadArgumentsAreRefusedWithTheReason) {
  struct Case {
    json params;
    std::string message;
  };
  const json ok5 = json::array({"0001", "2024-01-01", "2024-12-31", 10, nullptr});
  auto with = [&](std::size_t i, const json& value) {
    json p = ok5;
    p[i] = value;
    return p;
  };
  const std::string badAfter =
      "GetEmailStats: 'after' must be null or the \"next\" key of the previous page (6 texts)";
  for (const Case& c : std::vector<Case>{
           {json::array({"0001"}),
            "GetEmailStats takes 5 params (branch, from, to, page size, after), not 1"},
           {with(0, "00001"),
            "GetEmailStats: the branch must be at most 4 characters, not '00001'"},
           {with(0, 1), "GetEmailStats: the branch must be a text"},
           {with(1, "2024-02-30"),
            "GetEmailStats: 'from' must be a date YYYY-MM-DD of the calendar, not '2024-02-30'"},
           {with(2, "20241231"),
            "GetEmailStats: 'to' must be a date YYYY-MM-DD of the calendar, not '20241231'"},
           {with(1, "2025-01-01"),
            "GetEmailStats: the range ends on 2024-12-31, before it starts on 2025-01-01"},
           {with(3, 0),
            "GetEmailStats: the page size must be a whole number from 1 to 10000, not 0"},
           {with(3, 10001),
            "GetEmailStats: the page size must be a whole number from 1 to 10000, not 10001"},
           {with(3, 2.5),
            "GetEmailStats: the page size must be a whole number from 1 to 10000, not 2.5"},
           {with(3, "10"),
            "GetEmailStats: the page size must be a whole number from 1 to 10000, not \"10\""},
           {with(4, json::array({"0001", "2024"})), badAfter},
           {with(4, "0001"), badAfter},
       }) {
    SCOPED_TRACE(c.params.dump());
    Reply reply = call("GetEmailStats", c.params);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body["error"], (json{{"code", -32602}, {"message", c.message}}));
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, StatsQueryTest,
                         ::testing::Values(test::Backend::kSqlite, test::Backend::kPostgres),
                         test::backendName);

}  // namespace
}  // namespace zeb::server
