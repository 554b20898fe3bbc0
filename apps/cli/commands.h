// The subcommands of zeb18000. Each answers the process exit status: 0 success, 1 failure
// (the message on stderr), 2 bad usage.
#pragma once

#include <span>
#include <stdexcept>
#include <string>

namespace zeb::cli {

// Bad usage: the message goes to stderr with a hint to --help, and the exit status is 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int importCommand(std::span<char*> args);
int inspectCommand(std::span<char*> args);
int serveCommand(std::span<char*> args);
int statsCommand(std::span<char*> args);

}  // namespace zeb::cli
