#include "host/brenmor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/core/exceptions.h"

namespace zeb::host {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

// Puts the settings back as each test found them.
class brenmor_test : public ::testing::Test {
 protected:
  void TearDown() override { setHostSettings(saved_); }

 private:
  HostSettings saved_ = hostSettings();
};

TEST_F(brenmor_test, defaults_apply_until_a_host_installs_settings) {
  EXPECT_EQ(hostSettings(), HostSettings{});
  EXPECT_EQ(Brenmor::FiliProc(), "0001");
  EXPECT_EQ(Brenmor::WebURL(), "127.0.0.1");
  EXPECT_EQ(Brenmor::WebPort(), 18000);
}

TEST_F(brenmor_test, services_answer_the_installed_settings) {
  setHostSettings({"0042", "app.example.com", 2110});
  EXPECT_EQ(Brenmor::FiliProc(), "0042");
  EXPECT_EQ(Brenmor::WebURL(), "app.example.com");
  EXPECT_EQ(Brenmor::WebPort(), 2110);
  setHostSettings({"Só", "localhost", 65535});  // up to 4 characters, not bytes
  EXPECT_EQ(Brenmor::FiliProc(), "Só");
}

TEST_F(brenmor_test, invalid_settings_are_refused_and_the_installed_ones_kept) {
  setHostSettings({"0007", "srv", 1});
  EXPECT_THAT(
      [] {
        setHostSettings({"00001", "srv", 1});
      },
      ThrowsMessage<platform::Exception>(StrEq("branch code '00001' is not 1 to 4 characters")));
  EXPECT_THAT(
      [] {
        setHostSettings({"", "srv", 1});
      },
      ThrowsMessage<platform::Exception>(StrEq("branch code '' is not 1 to 4 characters")));
  EXPECT_THAT(
      [] {
        setHostSettings({"0001", "", 1});
      },
      ThrowsMessage<platform::Exception>(StrEq("server host is empty")));
  EXPECT_THAT(
      [] {
        setHostSettings({"0001", "srv", 0});
      },
      ThrowsMessage<platform::Exception>(StrEq("server port 0 is not between 1 and 65535")));
  EXPECT_THAT(
      [] {
        setHostSettings({"0001", "srv", 65536});
      },
      ThrowsMessage<platform::Exception>(StrEq("server port 65536 is not between 1 and 65535")));
  EXPECT_EQ(hostSettings(), (HostSettings{"0007", "srv", 1}));
}

TEST_F(brenmor_test, content_filters_must_be_host_and_port) {
  HostSettings settings;
  settings.contentFilters = {"127.0.0.1:10024", "[::1]:10024", "amavis.example.com:10026"};
  setHostSettings(settings);
  EXPECT_EQ(hostSettings(), settings);
  for (const std::string bad : {"127.0.0.1", "amavis:0", "[::1]", ""}) {
    HostSettings refused = settings;
    refused.contentFilters.push_back(bad);
    EXPECT_THAT(
        [&] { setHostSettings(refused); },
        ThrowsMessage<platform::Exception>(StrEq("content filter '" + bad + "' is not HOST:PORT")));
  }
  EXPECT_EQ(hostSettings(), settings);
}

}  // namespace
}  // namespace zeb::host
