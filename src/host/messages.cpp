#include "host/messages.h"

#include "platform/core/exceptions.h"
#include "platform/core/text.h"
#include "platform/ui/application.h"

namespace zeb::host {

namespace {
// Keys are short, so the folded copy stays in the string's own buffer.
std::string foldKey(std::string_view key) {
  std::string folded(key);
  for (char& c : folded) c = platform::asciiLower(c);
  return folded;
}
}  // namespace

TMessages::TMessages(std::vector<std::string> lines) { setLines(std::move(lines)); }

void TMessages::setLines(std::vector<std::string> lines) {
  std::vector<std::string> texts;
  std::unordered_map<std::string, std::size_t> index;
  texts.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) {
      throw platform::Exception("message table line " + std::to_string(i + 1) +
                                " has no '|' between key and text: '" + lines[i] + "'");
    }
    texts.emplace_back(line.substr(bar + 1));
    index.emplace(foldKey(line.substr(0, bar)), i);  // keeps the first line of a key
  }
  lines_ = std::move(lines);
  texts_ = std::move(texts);
  index_ = std::move(index);
}

const std::string& TMessages::Msg(std::string_view key) const {
  auto found = index_.find(foldKey(key));
  if (found == index_.end()) {
    throw platform::Exception("message key '" + std::string(key) + "' is not in the message table");
  }
  return texts_[found->second];
}

int TMessages::ShowMsg(std::string_view key, platform::ui::MsgDlgType type,
                       platform::ui::MsgDlgButtons buttons, int helpCtx) const {
  return platform::ui::application().messageDlg(Msg(key), type, buttons, helpCtx);
}

}  // namespace zeb::host
