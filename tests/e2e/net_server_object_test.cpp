// The upload's server object over the real connection, against the real server: what the
// client's statistics table reads and writes must be what the server answers and accepts.
#include "import/net_server_object.h"

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "host/server_result.h"
#include "import/traffic_tables.h"
#include "platform/core/exceptions.h"

namespace zeb::e2e {
namespace {

using import::RecordSet;
using import::dados::QTEMAIL;
using import::dados::VRVOLDADOS;
using nlohmann::json;

class NetServerObjectTest : public ::testing::Test {
 protected:
  // One new row, as the upload makes it.
  void appendRow(const std::string& origin) {
    RecordSet& t = tables_.cdsDados;
    t.append();
    const char* texts[] = {"0001",  origin.c_str(), "b@cliente.com.br", "2025", "12", "05", "6°Bim",
                           "2°Sem", "4°Tri"};
    for (int i = 0; i < 9; ++i) t.setText(i, texts[i]);
    t.setNumber(VRVOLDADOS, 987);
    t.setNumber(QTEMAIL, 1);
    t.post();
  }

  // Sends the change log of cdsDados and answers the checked result.
  json sendChanges() {
    std::string params = "[";
    tables_.cdsDados.writeDelta(params);
    params += "]";
    json result = host::CheckResultServ(object().callRaw("SetEmail", std::move(params)), true, 0);
    tables_.cdsDados.mergeChangeLog();
    return result;
  }

  import::ServerObject& object() { return server_.object();
}

TempDir dir_;
LiveServer server_{dir_.file("stats.db")};
import::TrafficTables tables_;
};  // namespace

TEST_F(NetServerObjectTest, the_get_email_packet_loads_into_cdsDados_without_rows) {
  tables_.cdsDados.open();
  tables_.cdsDados.loadPacket(
      host::CheckResultServ(object().call("GetEmail", json::array()), true, 0));
  EXPECT_EQ(tables_.cdsDados.recordCount(), 0u);
  EXPECT_EQ(tables_.cdsDados.changeCount(), 0);
}

TEST_F(NetServerObjectTest, the_change_log_of_cdsDados_is_stored_as_it_was_posted) {
  tables_.cdsDados.open();
  EXPECT_EQ(host::CheckResultServ(object().call("SetDelEmail", {"2025", "12", "05"}), true, 0),
            json(true));
  appendRow("a@empresa.com.br");
  appendRow("c@empresa.com.br");
  EXPECT_EQ(sendChanges(), json::parse(R"({"inserted": 2, "updated": 0, "deleted": 0,
                                           "replacedDays": 1})"));
  // The second batch updates a row of the first, which the server must find by its old values.
  tables_.cdsDados.first();
  tables_.cdsDados.edit();
  tables_.cdsDados.setNumber(QTEMAIL, 2);
  tables_.cdsDados.setNumber(VRVOLDADOS, 1987);
  tables_.cdsDados.post();
  EXPECT_EQ(sendChanges(), json::parse(R"({"inserted": 0, "updated": 1, "deleted": 0,
                                           "replacedDays": 0})"));

  EXPECT_EQ(server_.rows(),
            (std::vector<std::string>{
                "0001|a@empresa.com.br|b@cliente.com.br|2025|12|05|6°Bim|2°Sem|4°Tri|1987|2",
                "0001|c@empresa.com.br|b@cliente.com.br|2025|12|05|6°Bim|2°Sem|4°Tri|987|1"}));
}

TEST_F(NetServerObjectTest, a_refused_call_comes_back_for_CheckResultServ_to_raise) {
  json answer = object().call("SetDelEmail", {"2025", "13", "05"});
  try {
    host::CheckResultServ(answer, true, 0);
    FAIL() << "a refused call passed: " << answer.dump();
  } catch (const platform::EServerError& e) {
    EXPECT_EQ(e.code(), -32602);
    EXPECT_STREQ(e.what(),
                 "server error -32602: SetDelEmail: the month must be two digits from 01 to 12, "
                 "not '13'");
  }
}

}  // namespace zeb::e2e
}  // namespace zeb::e2e
