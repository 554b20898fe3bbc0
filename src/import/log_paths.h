// The file field's text (edtArqEmail) for one mail log or several, as a file dialog's name box
// writes a multiple choice:
//   /var/log/mail.log                               one path, exactly as typed
//   "mail.log.2.gz" "mail.log.1" "mail.log"         several paths, each in double quotes
// A text whose first character is a double quote is a list: quoted paths separated by blanks
// (spaces or tabs), where a double quote inside a path is written twice ("a""b" is the path
// a"b). Any other text is one path as it stands, blanks and quotes inside it included, so that
// a path typed as before means what it meant.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zeb::import {

// The paths of the field's text: none for an empty text. Raises EConvertError for a text that
// begins with a double quote but is no list, naming the character where it goes wrong.
std::vector<std::string> splitLogPaths(std::string_view text);

// The field's text for "paths": a single path that does not begin with a double quote as it
// stands, any other choice as the quoted list, one blank between paths.
std::string joinLogPaths(const std::vector<std::string>& paths);

}  // namespace zeb::import
