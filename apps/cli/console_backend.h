// The console's stand-in for the import screen. It follows the screen's status line (the Label
// named "lblProgresso") and progress bar (the ProgressBar named "pgbProgresso") in whichever form
// holds them, and writes what they show to a stream (stderr by default). Nothing else is drawn.
//
// A status text belongs to a phase: the text without a trailing counter, so that
// "Importando 5/100" and "Importando 6/100" are one phase, "Importando". A phase's maximum is
// known once the progress bar moves after the phase began (its max changes, or its position
// changes to above 0); the maximum may arrive after the text. A run begins with the first
// non-empty status text and ends at a text that is no phase (see setPhaseTexts()), at an empty
// text, or at finish().
//
// On a terminal: one status line, redrawn in place ("\r", the text, clear to the end of the line)
// at most every kRedrawPeriod: a spinner while the busy animation is shown, the status text and,
// once the phase's maximum is known, a bar, the percent, the phase's rate in units per second and
// the time since the run began. The line is cut to the terminal's width, never wrapped. The run's
// last text is drawn and ended with a newline, so that later output starts on a fresh line; an
// empty status text erases the line.
//
// Elsewhere (a pipe, a file): plain lines, nothing per unit of work. A phase prints one line when
// its maximum becomes known, "Recebendo dados do arquivo (12345)"; a phase whose maximum never
// becomes known prints its text alone when it ends. A text that is no phase prints itself. An
// empty status text prints nothing.
//
// A marquee bar (ProgressBarStyle::Marquee: the whole is not known, as for a log read from a
// pipe) counts KiB read in its position. Its phase shows "12.5 MiB read" in place of the bar and
// the percent on a terminal (with the rate in MiB/s), and prints its line when it ends,
// "Preparando dados... (12.5 MiB read)".
//
// Everything here belongs to the user-interface thread, except requestStop().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/backend.h"

namespace zeb::cli {

class ConsoleBackend : public platform::ui::Backend {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawPeriod{50};

  // Writes to stderr, as a terminal when stderr is one.
  ConsoleBackend();
  // Writes to "out" (which must outlive this backend), as a terminal when "terminal" is true.
  // A terminal's dialogs read their answers from "answerFd" when it is 0 or more, otherwise from
  // /dev/tty, or from stdin when /dev/tty cannot be opened.
  ConsoleBackend(std::FILE* out, bool terminal, int answerFd = -1);
  // Ends the status line as finish() does.
  ~ConsoleBackend() override;
  ConsoleBackend(const ConsoleBackend&) = delete;
  ConsoleBackend& operator=(const ConsoleBackend&) = delete;

  // The status texts that start a phase (a trailing counter in them is ignored), such as the
  // message table's "Preparando dados...", "Importando ". Any other non-empty text is the run's
  // last. While none are given, every non-empty text starts a phase, and a run ends only at an
  // empty text or at finish().
  void setPhaseTexts(const std::vector<std::string>& texts);

  // Standard input carries data (a log read from it): a dialog never reads an answer from it,
  // and without /dev/tty answers as at the end of the input.
  void setStdinIsData(bool data) { stdinIsData_ = data; }

  // Ends the run: prints the phase line still owed (plain), or draws the status line a last time
  // and ends it with a newline (terminal). Harmless when nothing is shown.
  void finish();

  // --- Stop requests ---
  // Asks for a stop; "confirm" asks the operator first. Async-signal-safe: it only updates a
  // lock-free atomic. A request made while another is waiting, or while the stop handler runs,
  // counts as one without confirmation: the operator insists. The next processEvents() calls the
  // stop handler once, with confirm true only when every request since the last call asked for
  // confirmation; without a handler the request is dropped.
  void requestStop(bool confirm) noexcept;
  void setStopHandler(std::function<void(bool confirm)> handler) {
    stopHandler_ = std::move(handler);
  }
  // A ready stop handler's body: presses the first reachable Button named "btfParar" among the
  // Application's forms, as the operator would. When "confirm" is false, the first dialog offering
  // Yes that the press raises is answered Yes without asking; when it is true and the operator
  // insists (another request) while that dialog waits for an answer, it is answered Yes. Answers
  // whether a button was pressed. Usual use:
  //   backend.setStopHandler([&backend](bool confirm) { backend.pressStopButton(confirm); });
  bool pressStopButton(bool confirm);

  // --- Backend ---
  // Calls the stop handler when a stop was requested, then redraws the status line when it
  // changed and kRedrawPeriod has passed since the last redraw.
  void processEvents() override;
  // Notes changes of the status label and the progress bar; formats nothing (a phase line in
  // plain mode, or a terminal redraw when a phase starts and one is due, excepted).
  void draw(platform::ui::Control& control, unsigned changes) override;
  // Redraws the status line as processEvents() does, without serving stop requests.
  void repaint(platform::ui::Form& form) override;
  void controlDestroyed(platform::ui::Control& control) override;
  void setCursor(int /*cursor*/) override {}
  // Not a terminal, or a dialog with a single button (an error, a notice): prints
  // "zeb18000: TEXT" as a line and answers OK when offered, else Yes when offered, else the first
  // button. A terminal, for a question: erases the status line, prints the text and the choices
  // ("[s]im/[n]ão", "[Enter]" for OK alone) and reads a line: a choice's letter or word, or an
  // empty line for OK; anything else asks again. At the end of the input it answers as when not on
  // a terminal; when a stop is requested while it waits, a dialog offering OK answers OK.
  int messageDlg(std::string_view text, platform::ui::MsgDlgType type,
                 platform::ui::MsgDlgButtons buttons, int helpCtx) override;
  std::optional<std::string> openFileDialog(std::string_view /*title*/,
                                            std::string_view /*filter*/) override {
    return std::nullopt;
  }
  // A terminal shows a spinner at the start of the status line, turned once per showBusy().
  void showBusy(platform::ui::Form* owner, int kind) override;
  void hideBusy() override;

 private:
  struct Progress {
    int max = 0;
    int position = 0;
    double fraction = 0;
    bool seen = false;  // drawn at least once
    bool marquee = false;
  };

  void statusDrawn(const std::string& text);
  void progressDrawn(const Progress& progress);
  void applyDeferredProgress();
  bool isPhase(std::string_view phase) const;
  void owePhaseLine();
  void endRun();
  void redrawIfDue(Clock::time_point now);
  void redraw(Clock::time_point now, bool phaseDetails);
  void eraseLine();
  void writeLine(std::string_view text);
  int promptAnswer(std::string_view text, platform::ui::MsgDlgButtons buttons, int fallback);
  int answerFd();

  std::FILE* out_;
  bool terminal_;
  int answerFd_;
  bool ownsAnswerFd_ = false;
  bool stdinIsData_ = false;
  std::vector<std::string> phases_;

  platform::ui::Control* label_ = nullptr;  // lblProgresso, once drawn
  platform::ui::Control* bar_ = nullptr;    // pgbProgresso, once drawn

  std::string text_;   // the status text last drawn
  std::string phase_;  // its phase
  bool running_ = false;
  // Plain: the phase's line is printed. Terminal: the phase's maximum is known.
  bool announced_ = false;
  Progress drawn_;
  Progress atPhaseStart_;
  // The phase's bar has been a marquee; the most KiB it counted.
  bool phaseMarquee_ = false;
  int phaseKib_ = 0;
  // Drawn while the label had a new text not yet drawn: applied after that text.
  std::optional<Progress> deferred_;
  Clock::time_point runStart_{};
  int ratePosition_ = 0;  // the rate counts units from here and then on
  Clock::time_point rateStart_{};

  bool busy_ = false;
  unsigned spinner_ = 0;
  bool dirty_ = false;
  bool lineDrawn_ = false;
  Clock::time_point lastRedraw_{};
  std::string line_;  // reused for every redraw

  // kStop... states; see requestStop().
  std::atomic<int> stop_{0};
  std::function<void(bool)> stopHandler_;
  bool answerStopYes_ = false;  // pressStopButton(false) is pressing
  bool stopPrompt_ = false;     // pressStopButton(true) is pressing
};

// The console without the progress: errors, questions and stop requests only.
class QuietConsole : public ConsoleBackend {
 public:
  void draw(platform::ui::Control&, unsigned) override {}
  void repaint(platform::ui::Form&) override {}
};

}  // namespace zeb::cli
