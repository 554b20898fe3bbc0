// The message table of a screen: every text the screen shows, by key.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ui/dialogs.h"

namespace zeb::host {

// A table of lines "key|text" (the text runs from the first vertical bar to the end of the
// line). Keys match without regard to the letter case of A to Z, so "Rec_dad" finds the line
// "Rec_Dad|..."; when several lines share a key, the first one counts.
class TMessages {
 public:
  TMessages() = default;
  // Raises Exception naming the line when a line has no vertical bar.
  explicit TMessages(std::vector<std::string> lines);

  // Replaces the table; raises as the constructor does (and then keeps the former table).
  void setLines(std::vector<std::string> lines);
  const std::vector<std::string>& lines() const { return lines_; }

  // The text of "key". An unknown key raises Exception naming it. The reference stays valid
  // until the table is replaced or destroyed.
  const std::string& Msg(std::string_view key) const;

  // Shows the text of "key" in a modal dialog through the Application and answers the result
  // code of the pressed button (6 for Yes). An unknown key raises as Msg does.
  int ShowMsg(std::string_view key, platform::ui::MsgDlgType type,
              platform::ui::MsgDlgButtons buttons, int helpCtx) const;

 private:
  std::vector<std::string> lines_;
  std::vector<std::string> texts_;                      // per line
  std::unordered_map<std::string, std::size_t> index_;  // folded key -> first line
};

}  // namespace zeb::host
