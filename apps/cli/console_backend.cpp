#include "console_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace zeb::cli {

namespace ui = platform::ui;
using ui::MsgDlgBtn;

namespace {

// The stop request's states (ConsoleBackend::stop_).
constexpr int kStopNone = 0;
constexpr int kStopAsk = 1;               // waiting for a pump; ask the operator
constexpr int kStopForce = 2;             // waiting for a pump; do not ask
constexpr int kStopHandling = 3;          // the stop handler runs
constexpr int kStopHandlingInsisted = 4;  // ... and another request came meanwhile
static_assert(std::atomic<int>::is_always_lock_free);

constexpr std::string_view kStatusLabel = "lblProgresso";
constexpr std::string_view kProgressBar = "pgbProgresso";
constexpr std::string_view kStopButton = "btfParar";
constexpr int kDefaultColumns = 80;
constexpr int kMaxBarWidth = 30;
constexpr int kMinBarWidth = 10;
constexpr int kPromptWakeMillis = 100;

std::string_view trimTrailingBlanks(std::string_view text) {
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool dropTrailingDigits(std::string_view& text) {
  std::size_t n = text.size();
  while (n > 0 && text[n - 1] >= '0' && text[n - 1] <= '9') --n;
  bool any = n != text.size();
  text = text.substr(0, n);
  return any;
}

// "12.5 MiB read", for a count of KiB.
std::string mibRead(int kib) {
  char text[48];
  std::snprintf(text, sizeof text, "%.1f MiB read", kib / 1024.0);
  return text;
}

// The text without a trailing counter such as "5" or "5/100".
std::string_view phaseOf(std::string_view text) {
  std::string_view phase = trimTrailingBlanks(text);
  if (dropTrailingDigits(phase) && !phase.empty() && phase.back() == '/') {
    phase.remove_suffix(1);
    dropTrailingDigits(phase);
  }
  phase = trimTrailingBlanks(phase);
  // A text that is all counter is its own phase.
  return phase.empty() ? text : phase;
}

bool named(const ui::Control& control, ui::ControlKind kind, std::string_view name) {
  return control.kind() == kind && control.name() == name;
}

ui::Button* findReachableButton(ui::Control& control, std::string_view name) {
  if (named(control, ui::ControlKind::Button, name) && control.reachable()) {
    return static_cast<ui::Button*>(&control);
  }
  for (ui::Control* child : control.children()) {
    if (ui::Button* found = findReachableButton(*child, name)) return found;
  }
  return nullptr;
}

// What a dialog answers when nobody is there to choose.
int fixedAnswer(ui::MsgDlgButtons buttons) {
  for (MsgDlgBtn preferred : {MsgDlgBtn::OK, MsgDlgBtn::Yes}) {
    if (buttons.contains(preferred)) return ui::modalResultOf(preferred);
  }
  for (MsgDlgBtn button : buttons.list()) return ui::modalResultOf(button);
  return ui::kMrOk;
}

struct Choice {
  MsgDlgBtn button;
  char key;
  std::string_view label;  // the key in brackets
};

// OK is chosen with an empty line; Help closes nothing and is never offered.
constexpr Choice kChoices[] = {
    {MsgDlgBtn::Yes, 's', "[s]im"},
    {MsgDlgBtn::No, 'n', "[n]ão"},
    {MsgDlgBtn::Cancel, 'c', "[c]ancelar"},
    {MsgDlgBtn::Abort, 'a', "[a]bortar"},
    {MsgDlgBtn::Retry, 'r', "[r]epetir"},
    {MsgDlgBtn::Ignore, 'i', "[i]gnorar"},
    {MsgDlgBtn::All, 'd', "to[d]os"},
    {MsgDlgBtn::NoToAll, 'm', "não para nenhu[m]"},
    {MsgDlgBtn::YesToAll, 't', "sim para [t]odos"},
};

std::string choicesText(ui::MsgDlgButtons buttons) {
  bool ok = buttons.contains(MsgDlgBtn::OK);
  std::string text = ok ? "[Enter]" : "";
  bool others = false;
  for (const Choice& c : kChoices) {
    if (!buttons.contains(c.button)) continue;
    if (!text.empty()) text += ok && !others ? " ok/" : "/";
    text += c.label;
    others = true;
  }
  return text;
}

std::string withoutBrackets(std::string_view label) {
  std::string word;
  for (char c : label) {
    if (c != '[' && c != ']') word += c;
  }
  return word;
}

std::string asciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The result of the choice that "answer" names, or kMrNone.
int choiceOf(std::string_view answer, ui::MsgDlgButtons buttons) {
  answer = trimTrailingBlanks(answer);
  while (!answer.empty() && answer.front() == ' ') answer.remove_prefix(1);
  if (!answer.empty() && answer.back() == '\r') answer.remove_suffix(1);
  if (answer.empty()) return buttons.contains(MsgDlgBtn::OK) ? ui::kMrOk : ui::kMrNone;
  std::string lower = asciiLower(answer);
  for (const Choice& c : kChoices) {
    if (!buttons.contains(c.button)) continue;
    std::string word = withoutBrackets(c.label);
    if ((lower.size() == 1 && lower[0] == c.key) || lower == word ||
        (c.button == MsgDlgBtn::No && lower == "nao")) {
      return ui::modalResultOf(c.button);
    }
  }
  if (buttons.contains(MsgDlgBtn::OK) && lower == "ok") return ui::kMrOk;
  return ui::kMrNone;
}

int terminalColumns(std::FILE* out) {
  winsize size{};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

// Columns that UTF-8 "text" takes, one per code point.
int columnsOf(std::string_view text) {
  int n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Cuts "text" after "columns" code points.
void cutToColumns(std::string& text, std::size_t from, int columns) {
  int seen = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (seen++ == columns) {
      text.resize(i);
      return;
    }
  }
}

void appendElapsed(std::string& out, ConsoleBackend::Clock::duration elapsed) {
  long long s = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  char buffer[32];
  if (s >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", s / 60, s % 60);
  }
  out += buffer;
}

}  // namespace

ConsoleBackend::ConsoleBackend() : ConsoleBackend(stderr, ::isatty(STDERR_FILENO) != 0) {}

ConsoleBackend::ConsoleBackend(std::FILE* out, bool terminal, int answerFd)
    : out_(out), terminal_(terminal), answerFd_(answerFd) {}

ConsoleBackend::~ConsoleBackend() {
  finish();
  if (ownsAnswerFd_) ::close(answerFd_);
}

void ConsoleBackend::setPhaseTexts(const std::vector<std::string>& texts) {
  phases_.clear();
  for (const std::string& text : texts) phases_.emplace_back(phaseOf(text));
}

bool ConsoleBackend::isPhase(std::string_view phase) const {
  return phases_.empty() || std::find(phases_.begin(), phases_.end(), phase) != phases_.end();
}

void ConsoleBackend::finish() {
  applyDeferredProgress();
  if (running_) endRun();
}

// --- What the status label and the progress bar show ---

void ConsoleBackend::draw(ui::Control& control, unsigned changes) {
  if (&control == bar_ ||
      (bar_ == nullptr && named(control, ui::ControlKind::ProgressBar, kProgressBar))) {
    bar_ = &control;
    if ((changes & ui::changes::kProgress) != 0) {
      const auto& bar = static_cast<const ui::ProgressBar&>(control);
      Progress progress{bar.max(), bar.position(), bar.shownFraction(), true,
                        bar.style() == ui::ProgressBarStyle::Marquee};
      // The label is drawn later in this hand-over: the bar's news belong to its new text, and
      // must not be taken for the end of the phase it still shows.
      if (label_ != nullptr && (label_->pendingChanges() & ui::changes::kText) != 0) {
        deferred_ = progress;
      } else {
        progressDrawn(progress);
      }
    }
    return;
  }
  if (&control == label_ ||
      (label_ == nullptr && named(control, ui::ControlKind::Label, kStatusLabel))) {
    label_ = &control;
    if ((changes & ui::changes::kText) != 0) statusDrawn(control.caption());
    applyDeferredProgress();
  }
}

void ConsoleBackend::controlDestroyed(ui::Control& control) {
  if (&control == label_) {
    applyDeferredProgress();
    label_ = nullptr;
  }
  if (&control == bar_) {
    bar_ = nullptr;
    drawn_ = Progress{};
    deferred_.reset();
  }
}

void ConsoleBackend::applyDeferredProgress() {
  if (!deferred_) return;
  Progress progress = *deferred_;
  deferred_.reset();
  progressDrawn(progress);
}

void ConsoleBackend::statusDrawn(const std::string& text) {
  std::string_view phase = phaseOf(text);
  if (running_ && !text.empty() && phase == phase_) {
    text_ = text;
    dirty_ = true;
    return;
  }
  Clock::time_point now = Clock::now();
  if (running_) owePhaseLine();
  text_ = text;
  phase_.assign(phase);
  if (text.empty()) {
    if (running_) endRun();
    return;
  }
  if (!running_) {
    running_ = true;
    runStart_ = now;
  }
  if (!isPhase(phase_)) {
    endRun();
    return;
  }
  announced_ = false;
  phaseMarquee_ = false;
  phaseKib_ = 0;
  atPhaseStart_ = drawn_;
  ratePosition_ = 0;
  rateStart_ = now;
  dirty_ = true;
  if (terminal_) redrawIfDue(now);
}

void ConsoleBackend::progressDrawn(const Progress& progress) {
  Progress before = drawn_;
  drawn_ = progress;
  if (progress.position < before.position) {
    ratePosition_ = progress.position;
    rateStart_ = Clock::now();
  }
  dirty_ = true;
  if (progress.marquee && running_) {
    phaseMarquee_ = true;
    phaseKib_ = std::max(phaseKib_, progress.position);
  }
  // A marquee has no maximum to announce; its phase tells what it read when it ends.
  if (!running_ || announced_ || phaseMarquee_) return;
  if (!atPhaseStart_.seen) {
    atPhaseStart_ = progress;
    return;
  }
  if (progress.max == atPhaseStart_.max &&
      (progress.position == atPhaseStart_.position || progress.position <= 0)) {
    return;
  }
  announced_ = true;
  if (!terminal_) {
    std::string line = phase_ + " (" + std::to_string(progress.max) + ")";
    writeLine(line);
  }
}

// Plain mode: a phase whose maximum never became known still gets its line.
void ConsoleBackend::owePhaseLine() {
  if (terminal_ || announced_ || !isPhase(phase_)) return;
  announced_ = true;
  writeLine(phaseMarquee_ ? phase_ + " (" + mibRead(phaseKib_) + ")" : phase_);
}

void ConsoleBackend::endRun() {
  if (terminal_ && text_.empty()) {
    eraseLine();
  } else if (terminal_) {
    redraw(Clock::now(), isPhase(phase_));
    std::fputc('\n', out_);
    std::fflush(out_);
    lineDrawn_ = false;
  } else if (!text_.empty()) {
    if (isPhase(phase_)) {
      owePhaseLine();
    } else {
      writeLine(text_);
    }
  }
  running_ = false;
  announced_ = false;
  dirty_ = false;
}

// --- The terminal's status line ---

void ConsoleBackend::redrawIfDue(Clock::time_point now) {
  if (now - lastRedraw_ >= kRedrawPeriod) redraw(now, true);
}

void ConsoleBackend::redraw(Clock::time_point now, bool phaseDetails) {
  lastRedraw_ = now;
  dirty_ = false;
  if (!running_ && !busy_) {
    eraseLine();
    return;
  }
  line_.clear();
  line_ += '\r';
  std::size_t visible = line_.size();
  if (busy_) {
    line_ += "|/-\\"[spinner_ % 4];
    line_ += ' ';
  }
  line_ += running_ ? text_ : std::string();
  int columns = terminalColumns(out_) - 1;  // the last column would wrap on some terminals
  if (running_ && phaseDetails) {
    char tail[96];
    int tailLength = 0;
    if (phaseMarquee_) {
      tailLength = std::snprintf(tail, sizeof tail, "  %s  ", mibRead(phaseKib_).c_str());
      double seconds = std::chrono::duration<double>(now - rateStart_).count();
      if (seconds >= 0.2) {
        double rate = std::max((drawn_.position - ratePosition_) / seconds / 1024, 0.0);
        tailLength +=
            std::snprintf(tail + tailLength, sizeof tail - tailLength, "%.1f MiB/s  ", rate);
      }
    } else if (announced_) {
      tailLength = std::snprintf(tail, sizeof tail, " %3d%%  ",
                                 static_cast<int>(drawn_.fraction * 100 + 1e-9));
      // A rate over the first moments of a phase says little.
      double seconds = std::chrono::duration<double>(now - rateStart_).count();
      if (seconds >= 0.2) {
        double rate = std::max((drawn_.position - ratePosition_) / seconds, 0.0);
        const char* format = rate >= 1e7 ? "%.0fM/s  " : rate >= 1e4 ? "%.0fk/s  " : "%.0f/s  ";
        double shown = rate >= 1e7 ? rate / 1e6 : rate >= 1e4 ? rate / 1e3 : rate;
        tailLength += std::snprintf(tail + tailLength, sizeof tail - tailLength, format, shown);
      }
      int used = columnsOf(std::string_view(line_).substr(visible));
      int barWidth = std::min(kMaxBarWidth, columns - used - 4 - tailLength - 8);
      if (barWidth >= kMinBarWidth) {
        int filled = static_cast<int>(drawn_.fraction * barWidth + 1e-9);
        line_ += "  [";
        line_.append(filled, '#');
        line_.append(barWidth - filled, '-');
        line_ += ']';
      }
    } else {
      tailLength = std::snprintf(tail, sizeof tail, "  ");
    }
    line_.append(tail, tailLength);
    appendElapsed(line_, now - runStart_);
  }
  cutToColumns(line_, visible, std::max(columns, 1));
  line_ += "\033[K";
  std::fwrite(line_.data(), 1, line_.size(), out_);
  std::fflush(out_);
  lineDrawn_ = true;
}

void ConsoleBackend::eraseLine() {
  if (!lineDrawn_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  lineDrawn_ = false;
}

void ConsoleBackend::writeLine(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void ConsoleBackend::processEvents() {
  int state = stop_.load(std::memory_order_acquire);
  while (state == kStopAsk || state == kStopForce) {
    if (!stop_.compare_exchange_weak(state, kStopHandling)) continue;
    // Whatever the handler does (it may raise), the request is served; one that insisted while
    // the handler ran and that no dialog took is served at the next pump.
    struct Served {
      std::atomic<int>& stop;
      ~Served() {
        int handling = kStopHandling;
        if (!stop.compare_exchange_strong(handling, kStopNone)) stop.store(kStopForce);
      }
    } served{stop_};
    if (stopHandler_) stopHandler_(state == kStopAsk);
    break;
  }
  if (terminal_ && dirty_) redrawIfDue(Clock::now());
}

void ConsoleBackend::repaint(ui::Form& /*form*/) {
  if (terminal_ && dirty_) redrawIfDue(Clock::now());
}

void ConsoleBackend::showBusy(ui::Form* /*owner*/, int /*kind*/) {
  busy_ = true;
  ++spinner_;
  if (!terminal_) return;
  // The call that follows may block for long: show the spinner before it.
  dirty_ = true;
  redrawIfDue(Clock::now());
}

void ConsoleBackend::hideBusy() {
  busy_ = false;
  if (!terminal_) return;
  dirty_ = true;
  if (!running_) eraseLine();
}

// --- Stop requests ---

void ConsoleBackend::requestStop(bool confirm) noexcept {
  int state = stop_.load(std::memory_order_relaxed);
  for (;;) {
    int next;
    switch (state) {
      case kStopNone:
        next = confirm ? kStopAsk : kStopForce;
        break;
      case kStopAsk:
        next = kStopForce;
        break;
      case kStopHandling:
        next = kStopHandlingInsisted;
        break;
      default:
        return;  // a stop without confirmation is coming already
    }
    if (stop_.compare_exchange_weak(state, next, std::memory_order_release,
                                    std::memory_order_relaxed)) {
      return;
    }
  }
}

bool ConsoleBackend::pressStopButton(bool confirm) {
  for (ui::Form* form : ui::application().forms()) {
    ui::Button* button = findReachableButton(*form, kStopButton);
    if (button == nullptr) continue;
    struct Pressing {
      ConsoleBackend& backend;
      ~Pressing() { backend.answerStopYes_ = backend.stopPrompt_ = false; }
    } pressing{*this};
    answerStopYes_ = !confirm;
    stopPrompt_ = confirm;
    return button->press();
  }
  return false;
}

// --- Dialogs ---

int ConsoleBackend::messageDlg(std::string_view text, ui::MsgDlgType /*type*/,
                               ui::MsgDlgButtons buttons, int /*helpCtx*/) {
  applyDeferredProgress();
  int fallback = fixedAnswer(buttons);
  bool answerYes = answerStopYes_ && buttons.contains(MsgDlgBtn::Yes);
  if (answerYes) {
    answerStopYes_ = false;
    fallback = ui::kMrYes;
  }
  if (running_) owePhaseLine();
  eraseLine();
  // The next pump draws the status line again, under the dialog's lines.
  dirty_ = running_;
  lastRedraw_ = {};
  // A dialog without a button to press is closed as one offering OK.
  if (buttons.list() == std::vector<MsgDlgBtn>{MsgDlgBtn::Help} || buttons.empty()) {
    buttons = MsgDlgBtn::OK;
  }
  // A message with nothing to choose (an error, a notice) is only shown: a command line that
  // waited for Enter after its own error would hold up whoever runs it.
  bool nothingToChoose = buttons.list().size() == 1;
  if (!terminal_ || answerYes || nothingToChoose) {
    std::string line = "zeb18000: ";
    line += text;
    writeLine(line);
    return fallback;
  }
  return promptAnswer(text, buttons, fallback);
}

int ConsoleBackend::answerFd() {
  if (answerFd_ < 0) {
    answerFd_ = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    ownsAnswerFd_ = answerFd_ >= 0;
    if (answerFd_ < 0 && !stdinIsData_) answerFd_ = STDIN_FILENO;
  }
  return answerFd_;
}

int ConsoleBackend::promptAnswer(std::string_view text, ui::MsgDlgButtons buttons, int fallback) {
  std::string prompt = "zeb18000: ";
  prompt += text;
  prompt += ' ';
  prompt += choicesText(buttons);
  prompt += ' ';
  int fd = answerFd();
  if (fd < 0) return fallback;
  for (;;) {
    std::fputs(prompt.c_str(), out_);
    std::fflush(out_);
    std::string answer;
    for (;;) {
      // A stop request wakes the dialog: poll() is never restarted after a signal handler,
      // and the timeout catches a signal that another thread took.
      pollfd ready{fd, POLLIN, 0};
      int polled = ::poll(&ready, 1, kPromptWakeMillis);
      if (polled < 0 && errno != EINTR) return fallback;
      if (polled <= 0) {
        int state = stop_.load(std::memory_order_acquire);
        if (stopPrompt_ && state == kStopHandlingInsisted &&
            stop_.compare_exchange_strong(state, kStopHandling)) {
          std::fputc('\n', out_);
          return ui::kMrYes;
        }
        if (!stopPrompt_ && state != kStopNone && buttons.contains(MsgDlgBtn::OK)) {
          std::fputc('\n', out_);
          return ui::kMrOk;
        }
        continue;
      }
      char c;
      ssize_t n = ::read(fd, &c, 1);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        // Nobody is there to answer.
        std::fputc('\n', out_);
        std::fflush(out_);
        return fallback;
      }
      if (c == '\n') break;
      answer += c;
    }
    int result = choiceOf(answer, buttons);
    if (result != ui::kMrNone) return result;
  }
}

}  // namespace zeb::cli
