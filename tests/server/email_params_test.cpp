#include "server/email_params.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "server/rpc_message.h"
#include "server_test_support.h"

namespace zeb::server {
namespace {

using nlohmann::json;
using test::deltaOf;
using test::insertChange;
using test::statRow;
using test::updateChange;

std::string asText(const EmailRow& row) {
  std::string out;
  for (std::string_view t : row.texts) out += std::string(t) + "|";
  return out + std::to_string(row.volume) + "|" + std::to_string(row.count);
}

TEST(EmailParamsTest, ColumnsAreMatchedByNameInAnyOrder) {
  // The module's record sets write "changes" before "columns"; the order of the columns is free.
  json columns = json::parse(columnsJson());
  std::swap(columns[0], columns[10]);
  std::swap(columns[1], columns[9]);
  json row = statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 987, 1);
  json swapped = row;
  std::swap(swapped[0], swapped[10]);
  std::swap(swapped[1], swapped[9]);
  std::string params = R"([{"changes": [{"row": )" + swapped.dump() +
                       R"(, "op": "insert"}], "columns": )" + columns.dump() + "}]";
  EmailBatch batch;
  decodeSetEmailParams(params, batch);
  ASSERT_EQ(batch.changes.size(), 1u);
  EXPECT_EQ(batch.changes[0].op, ChangeOp::Insert);
  EXPECT_EQ(asText(batch.changes[0].row),
            "0001|a@x.com|b@x.com|2025|12|05|6\u00b0Bim|2\u00b0Sem|4\u00b0Tri|987.000000|1.000000");
}

TEST(EmailParamsTest, EscapedTextsOfManyRowsStayValid) {
  // Decoded texts live in the batch's arena; it must not move while the batch is read.
  json changes = json::array();
  for (int i = 0; i < 200; ++i) {
    json old =
        statRow("0001", "a" + std::to_string(i) + "\"q@x.com", "b@x.com", "2025-12-05", i, 1);
    json now = old;
    now[9] = i + 1;
    changes.push_back(updateChange(old, now));
  }
  EmailBatch batch;
  batch.arena = "leftover from an earlier call";
  decodeSetEmailParams(json::array({deltaOf(changes)}).dump(), batch);
  ASSERT_EQ(batch.changes.size(), 200u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(batch.changes[i].old.texts[kNMORIGEM], "a" + std::to_string(i) + "\"q@x.com");
    EXPECT_EQ(batch.changes[i].row.texts[kNMORIGEM], "a" + std::to_string(i) + "\"q@x.com");
    EXPECT_EQ(batch.changes[i].row.volume, i + 1);
  }
}

TEST(EmailParamsTest, ReusedBatchHoldsOnlyTheLastDelta) {
  EmailBatch batch;
  json two = json::array({insertChange(statRow("0001", "a@x.com", "b@x.com", "2025-12-05", 1, 1)),
                          insertChange(statRow("0001", "c@x.com", "b@x.com", "2025-12-05", 1, 1))});
  decodeSetEmailParams(json::array({deltaOf(two)}).dump(), batch);
  decodeSetEmailParams(json::array({deltaOf(json::array())}).dump(), batch);
  EXPECT_TRUE(batch.changes.empty());
}

}  // namespace
}  // namespace zeb::server

namespace zeb::server {
namespace {

// A column whose name or type is given twice, once not as a text, reads differently to other
// parsers (the last member wins there): it is refused, whichever comes first.
TEST(EmailParamsTest, AColumnNameOrTypeThatIsNoTextIsRefused) {
  const std::string cases[] = {R"("name": "SEETLEMAIL", "type": "string", "name": 6)",
                               R"("name": 6, "name": "SEETLEMAIL", "type": "string")",
                               R"("name": "SEETLEMAIL", "type": null)"};
  for (const std::string& column : cases) {
    json delta = test::deltaOf(json::array());
    std::string text = json::array({delta}).dump();
    std::string seetl = R"({"name":"SEETLEMAIL","size":6,"type":"string"})";
    std::size_t at = text.find(seetl);
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, seetl.size(), "{" + column + "}");
    EmailBatch batch;
    try {
      decodeSetEmailParams(text, batch);
      ADD_FAILURE() << "accepted: " << column;
    } catch (const RpcError& e) {
      EXPECT_EQ(e.code(), kInvalidParams);
      EXPECT_NE(std::string(e.what()).find("must be a text"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace zeb::server
