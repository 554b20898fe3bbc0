// The open-file dialog as a component that a screen keeps: its filter and the chosen path.
#pragma once

#include <string>
#include <vector>

namespace zeb::platform::ui {

class OpenDialog {
 public:
  // "description|patterns|..." as parseFileFilter() reads it.
  std::string Filter;
  std::string Title;
  // The operator may choose several files.
  bool MultiSelect = false;
  // The chosen file's full path, after an Execute() that answered true: the first of several.
  std::string FileName;
  // Every chosen file's full path, after an Execute() that answered true (FileName alone when
  // MultiSelect is off).
  std::vector<std::string> Files;

  // Runs the dialog through the Application. Answers true when the operator chose a file (then
  // FileName and Files hold the choice) and false when they cancelled (both are left as they
  // were).
  bool Execute();
};

}  // namespace zeb::platform::ui
