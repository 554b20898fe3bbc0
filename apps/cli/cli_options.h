// The part that every subcommand shares in reading its options with CLI11: the help's layout,
// where help and usage errors go and the exit statuses they leave with.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "host/host_port.h"
#include "platform/net/net_security.h"

namespace zeb::cli {

// One subcommand's command line, "zeb18000 COMMAND ...". Options are added to app() as CLI11
// has them; an option given more than once takes its last value. Give an option's value a name
// with ->type_name("PATH"): the help shows it, and CLI11's messages about it say it.
class CommandLine {
 public:
  // The help shows "Usage: " + "usage" (such as "zeb18000 serve [--listen HOST:PORT]"), a blank
  // line, "description", the options (with -h, --help last) and "footer" (may be empty). Each
  // text ends with a newline; an option's description may hold several lines.
  CommandLine(std::string command, std::string usage, std::string description,
              std::string footer = "");
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  CLI::App& app() { return app_; }

  // Reads "args" (what follows the command's name) and runs "body", which checks what the
  // options do not and does the command's work. Answers the exit status:
  // - 0 after writing the help to stdout, when -h or --help is among the arguments (even with
  //   bad ones beside it, unless CLI11 stops at those first: a missing value, a failed check);
  // - 2 on bad usage, a ParseError of CLI11's or a UsageError that "body" raises: stderr gets
  //   "zeb18000: MESSAGE" and "Run 'zeb18000 COMMAND --help' for usage.";
  // - otherwise what "body" answers. Other exceptions from "body" pass through to the caller.
  int run(std::span<char*> args, const std::function<int()>& body);

  // Writes the usage error "message" as run() does and answers 2.
  int usageError(const std::string& message) const;

 private:
  CLI::App app_;
};

// Adds the positional LOG..., required and repeatable, into "logs"; read them with logPaths().
CLI::Option* addLogsOption(CLI::App& app, std::vector<std::string>& logs);

// The mail logs named on a command line, "-" turned into /dev/stdin. Raises UsageError when
// standard input is named twice, since it can be read once only.
std::vector<std::string> logPaths(const std::vector<std::string>& args);

using host::splitHostPort;
using host::splitServerAddress;

// Adds the option --content-filter HOST:PORT, repeatable and comma-separated, into "filters".
CLI::Option* addContentFilterOption(CLI::App& app, std::vector<std::string>& filters);

// Leaves "filters" as the option gave them or, when it gave none, takes the comma-separated
// list of ZEB_CONTENT_FILTER. Raises UsageError naming an entry that is not HOST:PORT.
void resolveContentFilters(std::vector<std::string>& filters);

// How a client reaches a server: TLS and the token.
struct ClientSecurityOptions {
  bool tls = false;
  std::string caFile;
  bool insecure = false;
  std::string tokenFile;
};

// Adds --tls, --ca-file FILE, --insecure and --token-file FILE.
void addClientSecurityOptions(CLI::App& app, ClientSecurityOptions& options);

// Reads the server's address "server" (HOST:PORT, http://HOST:PORT or https://HOST:PORT) into
// "host" and "port", and answers how to reach it: TLS when the address says https or --tls is
// given, the token of --token-file (else of the file that ZEB_TOKEN_FILE names, else none).
// Raises UsageError on a bad address or options that do not go together, and what
// readTokenFile() raises. --insecure is announced on stderr, since it takes any certificate.
platform::net::NetSecurity resolveClientSecurity(const std::string& server,
                                                 const ClientSecurityOptions& options,
                                                 std::string& host, int& port);

// The token file that --token-file names, else ZEB_TOKEN_FILE's; empty when neither does.
std::string tokenFileOrEnvironment(const std::string& option);

}  // namespace zeb::cli
