#include "host/text_services.h"

#include "platform/core/exceptions.h"

namespace zeb::host {

std::string_view LTrim(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.substr(i);
}

bool EmptyString(std::string_view text) { return LTrim(text).empty(); }

std::string Ajusta(std::string_view text, int width) {
  std::string_view digits = LTrim(text);
  while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
  bool valid = !digits.empty() && width > 0 && digits.size() <= static_cast<std::size_t>(width);
  for (char c : digits) valid = valid && c >= '0' && c <= '9';
  if (!valid) {
    throw platform::EConvertError("'" + std::string(text) + "' is not a number of 1 to " +
                                  std::to_string(width) + " digits");
  }
  std::string out(static_cast<std::size_t>(width) - digits.size(), '0');
  out += digits;
  return out;
}

}  // namespace zeb::host
