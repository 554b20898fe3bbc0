// The open-file dialog as a component that a screen keeps: its filter and the chosen path.
#pragma once

#include <string>

namespace zeb::platform::ui {

class OpenDialog {
 public:
  // "description|patterns|..." as parseFileFilter() reads it.
  std::string Filter;
  std::string Title;
  // The chosen file's full path, after an Execute() that answered true.
  std::string FileName;

  // Runs the dialog through the Application. Answers true when the operator chose a file (then
  // FileName holds it) and false when they cancelled (FileName is left as it was).
  bool Execute();
};

}  // namespace zeb::platform::ui
