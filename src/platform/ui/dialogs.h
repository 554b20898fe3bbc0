// The vocabulary of modal dialogs: message dialog types, buttons and result codes, and the
// filter of the open-file dialog.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zeb::platform::ui {

enum class MsgDlgType { Warning, Error, Information, Confirmation, Custom };

enum class MsgDlgBtn { Yes, No, OK, Cancel, Abort, Retry, Ignore, All, NoToAll, YesToAll, Help };

// A set of buttons, written as {MsgDlgBtn::Yes, MsgDlgBtn::No}.
class MsgDlgButtons {
 public:
  constexpr MsgDlgButtons() = default;
  // Implicit, so that a single button passes where a set is expected.
  constexpr MsgDlgButtons(MsgDlgBtn button) : bits_(bit(button)) {}
  constexpr MsgDlgButtons(std::initializer_list<MsgDlgBtn> buttons) {
    for (MsgDlgBtn b : buttons) bits_ |= bit(b);
  }
  constexpr bool contains(MsgDlgBtn button) const { return (bits_ & bit(button)) != 0; }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr unsigned bits() const { return bits_; }
  // The buttons in the order a dialog shows them (the order of MsgDlgBtn).
  std::vector<MsgDlgBtn> list() const;
  constexpr bool operator==(const MsgDlgButtons&) const = default;

 private:
  static constexpr unsigned bit(MsgDlgBtn b) { return 1u << static_cast<unsigned>(b); }
  unsigned bits_ = 0;
};

// Result codes of modal dialogs, with the values the screens test (6 is Yes).
constexpr int kMrNone = 0;
constexpr int kMrOk = 1;
constexpr int kMrCancel = 2;
constexpr int kMrAbort = 3;
constexpr int kMrRetry = 4;
constexpr int kMrIgnore = 5;
constexpr int kMrYes = 6;
constexpr int kMrNo = 7;
constexpr int kMrAll = 8;
constexpr int kMrNoToAll = 9;
constexpr int kMrYesToAll = 10;

// The result code that pressing "button" answers (kMrNone for Help, which closes nothing).
int modalResultOf(MsgDlgBtn button);

// The button's English caption ("Yes", "No to All"), for backends that have no captions of
// their own.
std::string_view buttonCaption(MsgDlgBtn button);

// One choice of an open-file dialog's filter.
struct FileFilter {
  std::string description;            // "Todos os arquivos"
  std::vector<std::string> patterns;  // "*.*"
  bool operator==(const FileFilter&) const = default;
};

// Splits a filter of the form "description|patterns|description|patterns", where patterns are
// separated by ";" and may be surrounded by blanks. An empty filter gives no choices. A
// description without its patterns (an odd number of parts) raises Exception naming the filter.
std::vector<FileFilter> parseFileFilter(std::string_view filter);

}  // namespace zeb::platform::ui
