#include "console_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/exceptions.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "stop_signals.h"

namespace zeb::cli {
namespace {

namespace ui = platform::ui;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ui::application;

// The import screen's parts that the backend follows. The bar comes before the label, so that a
// hand-over draws the bar's news before the text they belong to.
struct Screen {
  ui::Form form{"frmImpEmail"};
  ui::ProgressBar bar{&form, "pgbProgresso"};
  ui::Label status{&form, "lblProgresso"};
  ui::Button stop{&form, "btfParar"};
  bool stopped = false;

  Screen() {
    stop.setOnClick([this](ui::Control&) {
      stopped = application().messageDlg("Parar importação?", ui::MsgDlgType::Confirmation,
                                         {ui::MsgDlgBtn::Yes, ui::MsgDlgBtn::No}, 0) == ui::kMrYes;
    });
    form.show();
  }

  // A phase as the import runs one: the text, a hand-over, then its maximum and one step per
  // unit of work, each drawn.
  void phase(const std::string& text, int max, int units) {
    status.setCaption(text);
    application().flush();
    bar.setPosition(0);
    bar.setMax(max);
    for (int i = 0; i < units; ++i) {
      bar.stepBy(1);
      application().flush();
    }
  }
};

// Everything written to a stream, read back.
class Output {
 public:
  Output() : file_(std::tmpfile()) {}
  ~Output() { std::fclose(file_); }
  std::FILE* file() { return file_; }
  std::string text() {
    std::fflush(file_);
    std::string all;
    std::rewind(file_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
      all.append(buffer, n);
    std::fseek(file_, 0, SEEK_END);
    return all;
  }

 private:
  std::FILE* file_;
};

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const std::vector<std::string> kPhaseTexts = {"Preparando dados...", "Recebendo dados do arquivo",
                                              "Analisando dados", "Organizando dados",
                                              "Importando "};

TEST(console_backend_test, plain_output_has_one_line_per_phase_and_the_last_text) {
  Output out;
  Screen screen;
  ConsoleBackend backend(out.file(), false);
  backend.setPhaseTexts(kPhaseTexts);
  ui::ScopedBackend scope(backend);

  screen.phase("Preparando dados...", 3, 3);
  screen.phase("Recebendo dados do arquivo", 12, 12);
  // No unit of work, so no maximum: the text alone, once the next phase shows.
  screen.status.setCaption("Analisando dados");
  application().flush();
  // The maximum comes before the text, in the same hand-over, as the upload sets it.
  screen.bar.setMax(4);
  screen.bar.setPosition(0);
  screen.status.setCaption("Importando ");
  application().flush();
  for (int row = 1; row <= 4; ++row) {
    screen.status.setCaption("Importando " + std::to_string(row) + "/4");
    screen.bar.stepBy(1);
    application().flush();
  }
  screen.status.setCaption("Importação concluída");
  application().flush();
  screen.status.setCaption("");
  application().flush();
  backend.finish();

  EXPECT_EQ(out.text(),
            "Preparando dados... (3)\n"
            "Recebendo dados do arquivo (12)\n"
            "Analisando dados\n"
            "Importando (4)\n"
            "Importação concluída\n");
}

TEST(console_backend_test, a_terminal_line_is_redrawn_at_most_every_50_ms_and_ended_at_finish) {
  using Clock = std::chrono::steady_clock;
  Output out;
  Screen screen;
  ConsoleBackend backend(out.file(), true);
  backend.setPhaseTexts(kPhaseTexts);
  ui::ScopedBackend scope(backend);
  Clock::time_point start = Clock::now();
  screen.bar.setMax(10);
  screen.status.setCaption("Importando ");
  application().flush();

  for (int i = 1; i <= 2000; ++i) {
    screen.status.setCaption("Importando " + std::to_string(i % 8) + "/10");
    screen.bar.setPosition(i % 8);
    application().flush();
    backend.processEvents();
  }
  long long allowed = 1 + (Clock::now() - start) / ConsoleBackend::kRedrawPeriod;
  std::size_t redraws = count(out.text(), "\033[K");
  EXPECT_GE(redraws, 1u);
  EXPECT_LE(static_cast<long long>(redraws), allowed);

  // 2000 % 8: the last step left 0/10; after a pause the next pump draws the latest state.
  screen.status.setCaption("Importando 7/10");
  screen.bar.setPosition(7);
  application().flush();
  std::this_thread::sleep_for(ConsoleBackend::kRedrawPeriod + std::chrono::milliseconds(10));
  backend.processEvents();
  std::string text = out.text();
  EXPECT_EQ(count(text, "\033[K"), redraws + 1);
  std::string last = text.substr(text.rfind('\r'));
  EXPECT_THAT(last, StartsWith("\rImportando 7/10  [#####################---------]  70%  "));
  EXPECT_EQ(last.back(), 'K');

  backend.finish();
  text = out.text();
  EXPECT_EQ(text.substr(text.size() - 4), "\033[K\n");
  EXPECT_EQ(count(text, "\n"), 1u);
}

TEST(console_backend_test, a_marquee_phase_shows_the_mib_read_in_place_of_a_maximum) {
  for (bool terminal : {false, true}) {
    Output out;
    Screen screen;
    ConsoleBackend backend(out.file(), terminal);
    backend.setPhaseTexts(kPhaseTexts);
    ui::ScopedBackend scope(backend);
    // As the work file is written from a pipe: no maximum, the position counts KiB.
    screen.status.setCaption("Preparando dados...");
    application().flush();
    screen.bar.setStyle(ui::ProgressBarStyle::Marquee);
    screen.bar.setMax(0);
    screen.bar.setPosition(0);
    for (int kib = 100; kib <= 1500; kib += 100) {
      screen.bar.setPosition(kib);
      application().flush();
    }
    screen.bar.setPosition(1536);
    application().flush();
    std::this_thread::sleep_for(ConsoleBackend::kRedrawPeriod + std::chrono::milliseconds(10));
    backend.processEvents();
    std::string shown = out.text();
    // As the parse phase begins: the position reset under the old text, then the new text, and
    // a maximum, which makes the bar a normal one.
    screen.bar.setPosition(0);
    application().flush();
    screen.status.setCaption("Recebendo dados do arquivo");
    application().flush();
    screen.bar.setStyle(ui::ProgressBarStyle::Normal);
    screen.bar.setMax(12);
    for (int line = 1; line <= 12; ++line) {
      screen.bar.stepBy(1);
      application().flush();
    }
    backend.finish();
    if (terminal) {
      EXPECT_THAT(shown.substr(shown.rfind('\r')),
                  StartsWith("\rPreparando dados...  1.5 MiB read  "));
    } else {
      EXPECT_EQ(out.text(),
                "Preparando dados... (1.5 MiB read)\nRecebendo dados do arquivo (12)\n");
    }
  }
}

// A pipe whose read end answers the terminal's dialogs.
class Answers {
 public:
  Answers() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Answers() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int fd() const { return fds_[0]; }
  void type(const std::string& text) {
    EXPECT_EQ(::write(fds_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

 private:
  int fds_[2];
};

TEST(console_backend_test, stop_requests_press_the_stop_button_and_ask_only_when_confirming) {
  Output out;
  Answers answers;
  Screen screen;
  ConsoleBackend backend(out.file(), true, answers.fd());
  ui::ScopedBackend scope(backend);
  std::vector<bool> confirms;
  backend.setStopHandler([&](bool confirm) {
    confirms.push_back(confirm);
    backend.pressStopButton(confirm);
  });

  // Asked: a stray answer, then No.
  answers.type("x\nn\n");
  backend.requestStop(true);
  backend.processEvents();
  EXPECT_FALSE(screen.stopped);
  EXPECT_EQ(out.text(),
            "zeb18000: Parar importação? [s]im/[n]ão zeb18000: Parar importação? [s]im/[n]ão ");

  // Two requests before the pump: the operator insists, and is not asked.
  backend.requestStop(true);
  backend.requestStop(true);
  backend.processEvents();
  backend.processEvents();
  EXPECT_TRUE(screen.stopped);
  EXPECT_THAT(confirms, ElementsAre(true, false));
  EXPECT_THAT(out.text(), HasSubstr("[n]ão zeb18000: Parar importação?\n"));

  // An unreachable button is not pressed.
  screen.stopped = false;
  screen.stop.setEnabled(false);
  EXPECT_FALSE(backend.pressStopButton(false));
  EXPECT_FALSE(screen.stopped);
}

TEST(console_backend_test, stop_signals_request_a_stop_and_are_put_back_afterwards) {
  Output out;
  Screen screen;
  ConsoleBackend backend(out.file(), false);
  ui::ScopedBackend scope(backend);
  std::vector<bool> confirms;
  backend.setStopHandler([&](bool confirm) {
    confirms.push_back(confirm);
    backend.pressStopButton(confirm);
  });
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  {
    StopSignals signals(backend);
    try {
      StopSignals another(backend);
      ADD_FAILURE() << "a second StopSignals was installed";
    } catch (const platform::Exception& e) {
      EXPECT_STREQ(e.what(), "stop signals are already taken by another command");
    }
    std::raise(SIGTERM);
    EXPECT_EQ(StopSignals::lastSignal(), SIGTERM);
    // A closed pipe is a write error, not the end of the process.
    std::raise(SIGPIPE);
    backend.processEvents();
  }
  EXPECT_THAT(confirms, ElementsAre(false));
  EXPECT_TRUE(screen.stopped);
  EXPECT_EQ(out.text(), "zeb18000: Parar importação?\n");
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  EXPECT_EQ(StopSignals::lastSignal(), SIGTERM);
}

}  // namespace
}  // namespace zeb::cli
