#include "platform/ui/dialogs.h"

#include "platform/core/exceptions.h"

namespace zeb::platform::ui {

std::vector<MsgDlgBtn> MsgDlgButtons::list() const {
  std::vector<MsgDlgBtn> buttons;
  for (int b = static_cast<int>(MsgDlgBtn::Yes); b <= static_cast<int>(MsgDlgBtn::Help); ++b) {
    if (contains(static_cast<MsgDlgBtn>(b))) buttons.push_back(static_cast<MsgDlgBtn>(b));
  }
  return buttons;
}

int modalResultOf(MsgDlgBtn button) {
  switch (button) {
    case MsgDlgBtn::Yes:
      return kMrYes;
    case MsgDlgBtn::No:
      return kMrNo;
    case MsgDlgBtn::OK:
      return kMrOk;
    case MsgDlgBtn::Cancel:
      return kMrCancel;
    case MsgDlgBtn::Abort:
      return kMrAbort;
    case MsgDlgBtn::Retry:
      return kMrRetry;
    case MsgDlgBtn::Ignore:
      return kMrIgnore;
    case MsgDlgBtn::All:
      return kMrAll;
    case MsgDlgBtn::NoToAll:
      return kMrNoToAll;
    case MsgDlgBtn::YesToAll:
      return kMrYesToAll;
    case MsgDlgBtn::Help:
      return kMrNone;
  }
  return kMrNone;
}

std::string_view buttonCaption(MsgDlgBtn button) {
  switch (button) {
    case MsgDlgBtn::Yes:
      return "Yes";
    case MsgDlgBtn::No:
      return "No";
    case MsgDlgBtn::OK:
      return "OK";
    case MsgDlgBtn::Cancel:
      return "Cancel";
    case MsgDlgBtn::Abort:
      return "Abort";
    case MsgDlgBtn::Retry:
      return "Retry";
    case MsgDlgBtn::Ignore:
      return "Ignore";
    case MsgDlgBtn::All:
      return "All";
    case MsgDlgBtn::NoToAll:
      return "No to All";
    case MsgDlgBtn::YesToAll:
      return "Yes to All";
    case MsgDlgBtn::Help:
      return "Help";
  }
  return "";
}

namespace {
std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}
}  // namespace

std::vector<FileFilter> parseFileFilter(std::string_view filter) {
  std::vector<FileFilter> choices;
  if (filter.empty()) return choices;
  std::vector<std::string_view> parts = split(filter, '|');
  if (parts.size() % 2 != 0) {
    throw Exception("file filter '" + std::string(filter) + "' has a description without patterns");
  }
  for (std::size_t i = 0; i < parts.size(); i += 2) {
    FileFilter choice{std::string(parts[i]), {}};
    for (std::string_view pattern : split(parts[i + 1], ';')) {
      pattern = trimBlanks(pattern);
      if (!pattern.empty()) choice.patterns.emplace_back(pattern);
    }
    choices.push_back(std::move(choice));
  }
  return choices;
}

}  // namespace zeb::platform::ui
