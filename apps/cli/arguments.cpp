#include "arguments.h"

namespace zeb::cli {

bool wantsHelp(std::span<char*> args) {
  for (std::string_view arg : args) {
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

bool ArgumentReader::option(std::string_view name, std::string& value) {
  std::string_view arg = args_[at_];
  if (arg == name) {
    if (at_ + 1 >= args_.size()) throw UsageError(std::string(name) + " needs a value");
    value = args_[at_ + 1];
    at_ += 2;
    return true;
  }
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    value = arg.substr(name.size() + 1);
    ++at_;
    return true;
  }
  return false;
}

bool ArgumentReader::option(std::string_view name, std::optional<std::string>& value) {
  std::string text;
  if (!option(name, text)) return false;
  value = std::move(text);
  return true;
}

bool ArgumentReader::flag(std::string_view name) {
  if (args_[at_] != name) return false;
  ++at_;
  return true;
}

bool ArgumentReader::plain(std::string& value) {
  std::string_view arg = args_[at_];
  if (arg.starts_with("-") && arg != "-") return false;
  value = arg;
  ++at_;
  return true;
}

void ArgumentReader::unknown() const {
  std::string_view arg = args_[at_];
  if (arg.starts_with("-")) throw UsageError("unknown option '" + std::string(arg) + "'");
  throw UsageError("unexpected argument '" + std::string(arg) + "'");
}

}  // namespace zeb::cli
