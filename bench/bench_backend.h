// The user interface of a benchmark: nothing to draw, dialogs written to stderr, and the busy
// animation, which brackets every send of the upload, handed to the benchmark's clock.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/ui/application.h"

namespace zeb::bench {

class BenchBackend : public platform::ui::Backend {
 public:
  BenchBackend(const char* program, std::function<void()> busyShown,
               std::function<void()> busyHidden)
      : program_(program), shown_(std::move(busyShown)), hidden_(std::move(busyHidden)) {}
  void processEvents() override {}
  void draw(platform::ui::Control&, unsigned) override {}
  void repaint(platform::ui::Form&) override {}
  void setCursor(int) override {}
  int messageDlg(std::string_view text, platform::ui::MsgDlgType, platform::ui::MsgDlgButtons,
                 int) override {
    std::fprintf(stderr, "%s: %.*s\n", program_, static_cast<int>(text.size()), text.data());
    return platform::ui::kMrOk;
  }
  std::optional<std::string> openFileDialog(std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void showBusy(platform::ui::Form*, int) override { shown_(); }
  void hideBusy() override { hidden_(); }

 private:
  const char* program_;
  std::function<void()> shown_, hidden_;
};

}  // namespace zeb::bench
