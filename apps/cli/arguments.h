// Reading a subcommand's arguments: "--name VALUE" or "--name=VALUE" options, "--flag"
// switches and plain arguments, in any order. Anything else is bad usage (UsageError).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "commands.h"

namespace zeb::cli {

// True when -h or --help stands anywhere among the arguments.
bool wantsHelp(std::span<char*> args);

class ArgumentReader {
 public:
  explicit ArgumentReader(std::span<char*> args) : args_(args) {}

  bool done() const { return at_ >= args_.size(); }

  // When the current argument is the option "name", stores its value, moves on and answers
  // true. A missing value is bad usage.
  bool option(std::string_view name, std::string& value);
  bool option(std::string_view name, std::optional<std::string>& value);
  // When the current argument is the switch "name", moves on and answers true.
  bool flag(std::string_view name);
  // When the current argument is not an option, stores it, moves on and answers true.
  bool plain(std::string& value);
  // Raises UsageError for the current argument.
  [[noreturn]] void unknown() const;

 private:
  std::span<char*> args_;
  std::size_t at_ = 0;
};

}  // namespace zeb::cli
