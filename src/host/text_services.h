// Small text services of the host library that the import's parser relies on.
#pragma once

#include <string>
#include <string_view>

namespace zeb::host {

// The text without its leading blanks. A blank is the space character (code 32) only; tabs and
// other characters stay.
std::string_view LTrim(std::string_view text);

// True for the empty text and for a text made of blanks only.
bool EmptyString(std::string_view text);

// Fits a day or month number to "width" digits: blanks around it are dropped and the number is
// left-padded with "0" ("5 " gives "05" for width 2). A text that is not a number of 1 to
// "width" decimal digits raises EConvertError, so that no made-up date is ever stored.
std::string Ajusta(std::string_view text, int width);

}  // namespace zeb::host
