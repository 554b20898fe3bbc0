// What the desktop's message pump costs an import, and how soon the stop command answers.
//
// usage: desktop_pump_bench LOG [RUNS]
//
// Imports LOG through the module's screen (loaded as the hosts load it, into the embedded server
// over a scratch database) RUNS times (default 3) each way, alternating:
//   headless  a backend whose pump does nothing, as the command line's quiet console;
//             a first, uncounted import warms the caches;
//   desktop   the Qt backend, the screen shown in the main window's MDI area;
//   stopping  the Qt backend while another thread plays an operator who clicks the stop
//             button every 100 to 300 ms (a real mouse press and release posted to its widget);
//             the confirmation answers No, so the run goes on, and each answer's delay from the
//             click is kept.
// Prints the best seconds of each way, wall-clock and the user-interface thread's CPU time (the
// latter shows the pump's cost even on a busy machine), the desktop's cost over headless in
// percent, the stop's delays (median, 99th percentile, maximum, count), the time spent in the Qt
// backend's pump, repaint and draw over all its runs (wall-clock and CPU: a paint that waits for
// Qt's thread pool shows as wall-clock well above CPU), and the stretches between two hand-overs
// to Qt during the desktop runs (median, 99th percentile, maximum). DESKTOP_PUMP_PERIOD_MS and
// DESKTOP_PUMP_PAINT_MS set the backend's input and paint periods (default its own).
//
// Where the longest stretches went: a watchdog thread takes the user-interface thread's stack
// once a stretch passes kSampleAfter (and again every kSampleEvery), and each stretch over
// 100 ms is printed with its user-interface CPU time (near its length: the thread worked
// without pumping; far below: it waited, or the machine ran others) and the frames sampled in
// it. Run it on the offscreen platform (QT_QPA_PLATFORM=offscreen, the default here) on a
// quiet machine.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMouseEvent>
#include <QPointer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/brenmor.h"
#include "hosting/embedded_server.h"
#include "hosting/loaded_module.h"
#include "platform/os/heap_tuning.h"
#include "platform/ui/application.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "qt_backend.h"
#include "server/server.h"

namespace {

namespace ui = zeb::platform::ui;
using Clock = std::chrono::steady_clock;

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

long long nowNs() { return Clock::now().time_since_epoch().count(); }

// --- The watchdog -----------------------------------------------------------------------------
constexpr std::chrono::milliseconds kSampleAfter{60};
constexpr std::chrono::milliseconds kSampleEvery{50};
constexpr int kMaxFrames = 48;
constexpr int kMaxSamples = 4096;

struct Sample {
  long long atNs;
  int depth;
  void* frames[kMaxFrames];
};
Sample samples[kMaxSamples];
std::atomic<int> sampleCount{0};
std::atomic<long long> lastPumpNs{0};  // 0: not watching
pthread_t uiThread;

void takeSample(int) {
  int i = sampleCount.fetch_add(1);
  if (i >= kMaxSamples) return;
  samples[i].atNs = nowNs();
  samples[i].depth = backtrace(samples[i].frames, kMaxFrames);
}

std::string frameName(void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return "?";
  if (info.dli_sname == nullptr) {
    char offset[64];
    std::snprintf(
        offset, sizeof offset, "+0x%zx",
        static_cast<std::size_t>(static_cast<char*>(address) - static_cast<char*>(info.dli_fbase)));
    return std::string(std::filesystem::path(info.dli_fname).filename()) + offset;
  }
  int status = 0;
  char* name = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  std::string text = status == 0 ? name : info.dli_sname;
  std::free(name);
  if (text.size() > 110) text = text.substr(0, 110) + "...";
  return text;
}

class Watchdog {
 public:
  Watchdog() {
    uiThread = pthread_self();
    void* warm[2];
    backtrace(warm, 2);  // loads the unwinder now, not inside the signal handler
    struct sigaction action {};
    action.sa_handler = takeSample;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR2, &action, nullptr);
    thread_ = std::thread([this] { run(); });
  }
  ~Watchdog() {
    done_ = true;
    thread_.join();
  }

 private:
  void run() {
    long long sampledAt = 0;
    while (!done_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      long long last = lastPumpNs.load();
      if (last == 0) continue;
      long long now = nowNs();
      auto since = std::chrono::nanoseconds(now - last);
      if (since < kSampleAfter) continue;
      if (sampledAt > last && std::chrono::nanoseconds(now - sampledAt) < kSampleEvery) continue;
      sampledAt = now;
      pthread_kill(uiThread, SIGUSR2);
    }
  }
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The floor: the pump hands over to a backend that has nothing to do.
class IdleBackend : public ui::Backend {
 public:
  void processEvents() override {}
  void draw(ui::Control&, unsigned) override {}
  void repaint(ui::Form&) override {}
  void setCursor(int) override {}
  int messageDlg(std::string_view, ui::MsgDlgType, ui::MsgDlgButtons, int) override {
    return ui::kMrNo;
  }
  std::optional<std::string> openFileDialog(std::string_view, std::string_view) override {
    return std::nullopt;
  }
  void showBusy(ui::Form*, int) override {}
  void hideBusy() override {}
};

// The Qt backend whose stop confirmation answers No at once, noting when it was asked.
class TimedQtBackend : public zeb::desktop::QtBackend {
 public:
  using QtBackend::QtBackend;
  std::atomic<long long> clickedAt{0};  // nanoseconds on Clock, 0 when no click waits
  std::vector<double> delaysMs;

  // The longest stretches without a pump, and the status line each one ended under.
  struct Gap {
    double ms;
    std::string status;
    double cpuMs = 0;
    long long startNs = 0, endNs = 0;
  };
  std::vector<Gap> gaps;
  std::vector<double> stretchesMs;  // every stretch between two hand-overs
  ui::Label* status = nullptr;
  Clock::time_point lastPump{};
  double lastPumpCpu = 0;

  void processEvents() override {
    auto now = Clock::now();
    double cpu = threadCpuSeconds();
    double ms = std::chrono::duration<double, std::milli>(now - lastPump).count();
    if (lastPump != Clock::time_point{}) {
      stretchesMs.push_back(ms);
      if (ms > 50 && status != nullptr) {
        gaps.push_back({ms, status->caption(), (cpu - lastPumpCpu) * 1e3,
                        lastPump.time_since_epoch().count(), now.time_since_epoch().count()});
      }
    }
    QtBackend::processEvents();
    lastPump = Clock::now();
    lastPumpCpu = threadCpuSeconds();
    pumpCpuMs += (lastPumpCpu - cpu) * 1e3;
    lastPumpNs = lastPump.time_since_epoch().count();
    pumpMs += std::chrono::duration<double, std::milli>(lastPump - now).count();
    ++pumps;
  }
  void repaint(ui::Form& form) override {
    auto start = Clock::now();
    double cpu = threadCpuSeconds();
    QtBackend::repaint(form);
    repaintCpuMs += (threadCpuSeconds() - cpu) * 1e3;
    repaintMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ++repaints;
  }
  void draw(ui::Control& control, unsigned changes) override {
    auto start = Clock::now();
    double cpu = threadCpuSeconds();
    QtBackend::draw(control, changes);
    drawCpuMs += (threadCpuSeconds() - cpu) * 1e3;
    drawMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ++draws;
  }
  double pumpMs = 0, repaintMs = 0, drawMs = 0;
  double pumpCpuMs = 0, repaintCpuMs = 0, drawCpuMs = 0;  // of the user-interface thread
  long pumps = 0, repaints = 0, draws = 0;

  int messageDlg(std::string_view, ui::MsgDlgType, ui::MsgDlgButtons, int) override {
    long long clicked = clickedAt.exchange(0);
    if (clicked != 0) {
      long long now = Clock::now().time_since_epoch().count();
      delaysMs.push_back(static_cast<double>(now - clicked) / 1e6);
      if (delaysMs.back() > 100 && status != nullptr) {
        gaps.push_back({-delaysMs.back(), "click answered late under " + status->caption()});
      }
    }
    return ui::kMrNo;
  }
};

ui::Form* importScreen() {
  for (ui::Form* form : ui::application().forms()) {
    if (form->name() == "frmImpEmailInternet") return form;
  }
  return nullptr;
}

struct Timing {
  double wall = 1e9;  // seconds
  double cpu = 1e9;   // seconds of the user-interface thread, where the pump's cost lands
  long faults = 0;    // minor page faults of that thread, in the best run by wall-clock
  void keepBest(const Timing& t) {
    if (t.wall < wall) faults = t.faults;
    wall = std::min(wall, t.wall);
    cpu = std::min(cpu, t.cpu);
  }
};

long threadFaults() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

// One import of "log" through the screen.
Timing importOnce(const std::string& log) {
  ui::Form* screen = importScreen();
  auto* edit = dynamic_cast<ui::Edit*>(screen->findChild("edtArqEmail"));
  auto* command = dynamic_cast<ui::Button*>(screen->findChild("sbtImportExport"));
  auto* status = dynamic_cast<ui::Label*>(screen->findChild("lblProgresso"));
  edit->setText("");
  edit->setText(log);
  auto start = Clock::now();
  double cpuStart = threadCpuSeconds();
  long faultsStart = threadFaults();
  command->press();
  Timing timing{std::chrono::duration<double>(Clock::now() - start).count(),
                threadCpuSeconds() - cpuStart, threadFaults() - faultsStart};
  if (status->caption().empty()) {
    std::fprintf(stderr, "desktop_pump_bench: the import ended without a status\n");
    std::exit(1);
  }
  return timing;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: desktop_pump_bench LOG [RUNS]\n");
    return 2;
  }
  std::string log = argv[1];
  int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  // The hosts run with the heap tuned for large tables; so do both ways here.
  zeb::platform::os::tuneHeapForLargeTables(argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);

  namespace fs = std::filesystem;
  fs::path db = fs::temp_directory_path() / ("desktop_pump_bench_" + std::to_string(getpid()));
  zeb::host::HostSettings settings;
  auto server = zeb::hosting::startEmbeddedServer(db.string(), settings);
  zeb::host::setHostSettings(settings);

  QMainWindow window;
  auto* mdi = new QMdiArea(&window);
  window.setCentralWidget(mdi);
  window.resize(840, 600);
  window.show();
  TimedQtBackend qt(&window, mdi);
  // The periods, to weigh the import's cost against the stop's answer time.
  if (const char* period = std::getenv("DESKTOP_PUMP_PERIOD_MS")) {
    qt.setEventPeriod(std::chrono::milliseconds(std::atoi(period)));
  }
  if (const char* period = std::getenv("DESKTOP_PUMP_PAINT_MS")) {
    qt.setPaintPeriod(std::chrono::milliseconds(std::atoi(period)));
  }
  IdleBackend idle;
  Watchdog watchdog;
  ui::ScopedBackend scope(qt);
  auto module = std::make_unique<zeb::hosting::LoadedModule>();
  module->iniProc();
  ui::Form* screen = importScreen();
  QPointer<QWidget> stopButton = qt.widgetOf(*screen->findChild("btfParar"));
  qt.status = dynamic_cast<ui::Label*>(screen->findChild("lblProgresso"));

  // Every import starts with the server's merger idle: a run never competes with the merge of
  // the run before it, which would weigh on whichever way came next.
  auto importSettled = [&](const std::string& path) {
    Timing timing = importOnce(path);
    server->flush();
    return timing;
  };
  // A first import warms the caches and the heap, and is not counted.
  ui::application().setBackend(&idle);
  importSettled(log);
  Timing headless, desktop, stopping;
  // The ways take turns at going first: a process that has imported before runs differently
  // (its heap, the server's files), and no way may always get the fresh or the worn state.
  auto runHeadless = [&] {
    ui::application().setBackend(&idle);
    headless.keepBest(importSettled(log));
  };
  auto runDesktop = [&] {
    ui::application().setBackend(&qt);
    qt.lastPump = {};
    desktop.keepBest(importSettled(log));
    lastPumpNs = 0;
  };
  auto runStopping = [&](int run) {
    ui::application().setBackend(&qt);
    // The operator, on a thread of its own: Qt delivers the posted clicks at the next pump.
    std::atomic<bool> done{false};
    std::thread person([&] {
      std::mt19937 random(42 + run);
      std::uniform_int_distribution<int> pause(100, 300);
      QPoint middle(40, 10);
      while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
        if (done) break;
        qt.clickedAt = Clock::now().time_since_epoch().count();
        QCoreApplication::postEvent(
            stopButton, new QMouseEvent(QEvent::MouseButtonPress, middle, middle, Qt::LeftButton,
                                        Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            stopButton, new QMouseEvent(QEvent::MouseButtonRelease, middle, middle, Qt::LeftButton,
                                        Qt::NoButton, Qt::NoModifier));
      }
    });
    qt.clickedAt = 0;
    qt.lastPump = {};
    stopping.keepBest(importSettled(log));
    lastPumpNs = 0;
    done = true;
    person.join();
    // A click posted after the run's end must not be answered, and timed, in the next one.
    QCoreApplication::removePostedEvents(stopButton);
    qt.clickedAt = 0;
  };
  // DESKTOP_PUMP_BENCH_ONLY=0, 1 or 2 runs one way alone (headless, desktop, stopping), for a
  // profiler.
  const char* only = std::getenv("DESKTOP_PUMP_BENCH_ONLY");
  for (int run = 0; run < runs; ++run) {
    for (int turn = 0; turn < 3; ++turn) {
      int way = (run + turn) % 3;
      if (only != nullptr && way != std::atoi(only)) continue;
      switch (way) {
        case 0:
          runHeadless();
          break;
        case 1:
          runDesktop();
          break;
        default:
          runStopping(run);
          break;
      }
    }
  }

  module.reset();
  ui::application().setBackend(&qt);
  server->stop();
  std::error_code ignored;
  fs::remove(db, ignored);
  fs::remove(db.string() + "-wal", ignored);
  fs::remove(db.string() + "-shm", ignored);

  auto periodMs = [](const char* variable, std::chrono::milliseconds fallback) {
    const char* set = std::getenv(variable);
    return set != nullptr ? std::atoi(set) : static_cast<int>(fallback.count());
  };
  std::printf("log %s, best of %d, event period %d ms, paint period %d ms\n", log.c_str(), runs,
              periodMs("DESKTOP_PUMP_PERIOD_MS", zeb::desktop::QtBackend::kEventPeriod),
              periodMs("DESKTOP_PUMP_PAINT_MS", zeb::desktop::QtBackend::kPaintPeriod));
  auto line = [&](const char* name, const Timing& t) {
    std::printf("%-9s %8.3f s wall %+6.1f%%   %8.3f s UI-thread CPU %+6.1f%%   %ld faults\n", name,
                t.wall, (t.wall / headless.wall - 1) * 100, t.cpu, (t.cpu / headless.cpu - 1) * 100,
                t.faults);
  };
  line("headless", headless);
  line("desktop", desktop);
  line("stopping", stopping);
  std::printf("stop answered after: median %.1f ms, p99 %.1f ms, max %.1f ms (%zu clicks)\n",
              percentile(qt.delaysMs, 0.5), percentile(qt.delaysMs, 0.99),
              percentile(qt.delaysMs, 1.0), qt.delaysMs.size());
  std::printf(
      "in the Qt backend (all its runs), wall/CPU: pump %.0f/%.0f ms (%ld), repaint %.0f/%.0f ms "
      "(%ld), draw %.0f/%.0f ms (%ld)\n",
      qt.pumpMs, qt.pumpCpuMs, qt.pumps, qt.repaintMs, qt.repaintCpuMs, qt.repaints, qt.drawMs,
      qt.drawCpuMs, qt.draws);
  std::printf("between hand-overs to Qt: median %.1f ms, p99 %.1f ms, max %.1f ms (%zu)\n",
              percentile(qt.stretchesMs, 0.5), percentile(qt.stretchesMs, 0.99),
              percentile(qt.stretchesMs, 1.0), qt.stretchesMs.size());
  for (const auto& g : qt.gaps) {
    if (g.ms < 0) std::printf("%.0f ms: %s\n", -g.ms, g.status.c_str());
  }
  std::erase_if(qt.gaps, [](const auto& g) { return g.ms < 0; });
  std::sort(qt.gaps.begin(), qt.gaps.end(),
            [](const auto& a, const auto& b) { return a.ms > b.ms; });
  int taken = std::min(sampleCount.load(), kMaxSamples);
  const char* framesWanted = std::getenv("DESKTOP_PUMP_BENCH_FRAMES");
  int frames = framesWanted != nullptr ? std::atoi(framesWanted) : 8;
  for (std::size_t i = 0; i < qt.gaps.size() && i < 12; ++i) {
    const auto& g = qt.gaps[i];
    std::printf("no pump for %.0f ms (%.0f ms UI-thread CPU), under \"%s\"\n", g.ms, g.cpuMs,
                g.status.c_str());
    // The first samples in the stretch, without the watchdog's own frames (handler,
    // trampoline).
    int shown = 0;
    for (int k = 0; k < taken && shown < 3; ++k) {
      if (samples[k].atNs < g.startNs || samples[k].atNs > g.endNs) continue;
      std::printf("  at %.0f ms:\n", static_cast<double>(samples[k].atNs - g.startNs) / 1e6);
      for (int f = 2; f < samples[k].depth && f < 2 + frames; ++f) {
        std::printf("    %s\n", frameName(samples[k].frames[f]).c_str());
      }
      ++shown;
    }
  }
  return 0;
}
