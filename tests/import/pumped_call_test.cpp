#include "import/pumped_call.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/test_backend.h"

namespace zeb::import {
namespace {

namespace ui = platform::ui;
using namespace std::chrono_literals;

// A screen as the hosts have one: pumped at the Application's pace, not at every call. Its
// pump runs "action" (an operator's click) once.
class PacedBackend : public ui::TestBackend {
 public:
  bool seesEveryPump() const override { return false; }
  void processEvents() override {
    ++pumps;
    if (action) std::exchange(action, nullptr)();
  }
  std::atomic<int> pumps{0};
  std::function<void()> action;
};

// Waits up to 10 s for "flag"; answers whether it came.
bool waitFor(const std::atomic<bool>& flag) {
  for (auto end = std::chrono::steady_clock::now() + 10s; !flag;) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(pumped_call_test, the_operator_is_answered_while_the_call_waits_and_its_failure_comes_back) {
  PacedBackend backend;
  ui::ScopedBackend scope(backend);
  PumpedCall pumped;
  std::atomic<bool> stopped{false};
  backend.action = [&] { stopped = true; };
  // The call ends only once the operator's click has been handled: without a pump during the
  // call, it would wait out its 10 s and report that.
  bool answered = false;
  pumped.run([&] { answered = waitFor(stopped); });
  EXPECT_TRUE(answered);

  // A second call from a handler is refused; the call under way ends as it would.
  std::string refused;
  backend.action = [&] {
    try {
      pumped.run([] {});
    } catch (const platform::Exception& e) {
      refused = e.what();
    }
  };
  try {
    pumped.run([] {
      std::this_thread::sleep_for(100ms);
      throw platform::EServerError(7, "calling SetEmail on 127.0.0.1:1 failed: no answer");
    });
    ADD_FAILURE() << "the call's failure was lost";
  } catch (const platform::EServerError& e) {
    EXPECT_EQ(std::string(e.what()), "calling SetEmail on 127.0.0.1:1 failed: no answer");
  }
  EXPECT_EQ(refused, "a server call is already under way");
}

TEST(pumped_call_test, a_script_that_counts_pumps_sees_none_during_a_call) {
  ui::TestBackend script;
  ui::ScopedBackend scope(script);
  PumpedCall pumped;
  pumped.run([] { std::this_thread::sleep_for(60ms); });
  EXPECT_EQ(script.pumpCount(), 0u);
}

}  // namespace
}  // namespace zeb::import
