// What the desktop tests share: one QApplication on the offscreen platform, with the settings
// of a scratch home, and a scripted operator for the modal dialogs.
#pragma once

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace zeb::desktop::testing {

// A directory of this test process's own, removed when the process ends.
inline std::filesystem::path scratchDirectory() {
  struct Scratch {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("zeb_desktop_test_" + std::to_string(getpid()));
    Scratch() { std::filesystem::create_directories(path); }
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  };
  static const Scratch scratch;
  return scratch.path;
}

// The process's QApplication, made on first use; the stored settings live in the scratch home.
inline QApplication& qtApp() {
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);  // whatever the display the tests run under
    setenv("XDG_CONFIG_HOME", (scratchDirectory() / "config").c_str(), 1);
    static int argc = 1;
    static char name[] = "desktop_test";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);  // lives as long as the process
  }();
  return *app;
}

// Answers the message dialogs that open, in order, by pressing the button with the caption
// given; records each dialog's text and its buttons' captions, left to right.
class DialogOperator {
 public:
  struct Seen {
    QString text;
    QStringList buttons;
  };

  DialogOperator() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { look(); });
    timer_.start();
  }
  void answer(const QString& caption) { answers_.push_back(caption); }
  const std::vector<Seen>& seen() const { return seen_; }
  std::size_t unanswered() const { return answers_.size(); }

 private:
  void look() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box->property("zebSeen").toBool()) return;
    box->setProperty("zebSeen", true);
    Seen seen{box->text(), {}};
    QAbstractButton* press = nullptr;
    QList<QAbstractButton*> buttons = box->buttons();
    std::sort(buttons.begin(), buttons.end(),
              [](QAbstractButton* a, QAbstractButton* b) { return a->x() < b->x(); });
    for (QAbstractButton* b : buttons) {
      seen.buttons << b->text();
      if (!answers_.empty() && b->text() == answers_.front()) press = b;
    }
    seen_.push_back(seen);
    if (press == nullptr) {
      box->reject();  // unscripted: the test sees it in seen()
      return;
    }
    answers_.pop_front();
    press->click();
  }

  QTimer timer_;
  std::deque<QString> answers_;
  std::vector<Seen> seen_;
};

}  // namespace zeb::desktop::testing
