#include "cli_options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace zeb::cli {

namespace {

// CLI11's layout, with our own usage line first: CLI11 2.1 builds the usage line from the
// options alone and cannot say which of them are required or how they combine.
class HelpFormatter : public CLI::Formatter {
 public:
  explicit HelpFormatter(std::string usage) : usage_(std::move(usage)) {}

  std::string make_help(const CLI::App* app, std::string /*name*/,
                        CLI::AppFormatMode mode) const override {
    std::string help = "Usage: " + usage_ + "\n\n" + app->get_description();
    help += make_positionals(app);
    help += make_groups(app, mode);
    if (!app->get_footer().empty()) help += "\n" + app->get_footer();
    return help;
  }

 private:
  std::string usage_;
};

}  // namespace

CommandLine::CommandLine(std::string command, std::string usage, std::string description,
                         std::string footer)
    : app_(std::move(description), std::move(command)) {
  app_.footer(std::move(footer));
  app_.formatter(std::make_shared<HelpFormatter>(std::move(usage)));
  app_.get_formatter()->column_width(22);
  app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CLI::Option* addLogsOption(CLI::App& app, std::vector<std::string>& logs) {
  return app
      .add_option("LOG", logs,
                  "the Postfix mail logs, read as one log: plain or gzip files, or '-' for\n"
                  "standard input")
      ->required()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->type_name("LOG");
}

std::vector<std::string> logPaths(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  bool stdinNamed = false;
  for (const std::string& arg : args) {
    bool isStdin = arg == "-" || arg == "/dev/stdin";
    if (isStdin && stdinNamed) throw UsageError("standard input can be read only once");
    stdinNamed = stdinNamed || isStdin;
    paths.push_back(arg == "-" ? "/dev/stdin" : arg);
  }
  return paths;
}

int CommandLine::run(std::span<char*> args, const std::function<int()>& body) {
  // Set here, after the command's options, so that the help lists it last.
  app_.set_help_flag("-h,--help", "show this help");
  try {
    // CLI11 takes a vector of the arguments in reverse order.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app_.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app_.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }
  try {
    return body();
  } catch (const UsageError& e) {
    return usageError(e.what());
  }
}

int CommandLine::usageError(const std::string& message) const {
  std::fprintf(stderr, "zeb18000: %s\nRun 'zeb18000 %s --help' for usage.\n", message.c_str(),
               app_.get_name().c_str());
  return 2;
}

CLI::Option* addContentFilterOption(CLI::App& app, std::vector<std::string>& filters) {
  return app
      .add_option("--content-filter", filters,
                  "leave out deliveries to this content filter (amavis and the like, which\n"
                  "takes each message and gives it back under a new queue id): a\n"
                  "delivery line whose relay=NAME[ADDR]:PORT has NAME or ADDR equal to\n"
                  "HOST (letter case ignored) and the same PORT, so that each message\n"
                  "counts once. Repeatable, or comma-separated (default:\n"
                  "ZEB_CONTENT_FILTER, else none)")
      ->type_name("HOST:PORT")
      ->expected(1)
      ->delimiter(',')
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void resolveContentFilters(std::vector<std::string>& filters) {
  if (filters.empty()) {
    const char* env = std::getenv("ZEB_CONTENT_FILTER");
    std::string list = env != nullptr ? env : "";
    for (std::size_t at = 0; at < list.size();) {
      std::size_t comma = std::min(list.find(',', at), list.size());
      filters.push_back(list.substr(at, comma - at));
      at = comma + 1;
    }
  }
  for (const std::string& filter : filters) {
    std::string host;
    int port = 0;
    if (!splitHostPort(filter, host, port)) {
      throw UsageError("a content filter needs HOST:PORT (such as 127.0.0.1:10024), not '" +
                       filter + "'");
    }
  }
}

void addClientSecurityOptions(CLI::App& app, ClientSecurityOptions& options) {
  app.add_flag("--tls", options.tls,
               "speak HTTPS to the server (as an https:// address does), verifying its\n"
               "certificate against the system's certificate store or --ca-file");
  app.add_option("--ca-file", options.caFile,
                 "trust the server's certificate if it verifies against the PEM\n"
                 "certificates of FILE (a self-signed certificate, a company CA)")
      ->type_name("FILE");
  app.add_flag("--insecure", options.insecure,
               "take any certificate the server shows, unverified (for tests only:\n"
               "anyone in between could read and change the calls)");
  app.add_option("--token-file", options.tokenFile,
                 "send the token on the first line of FILE to a server that asks for\n"
                 "one (default: the file that ZEB_TOKEN_FILE names, else none)")
      ->type_name("FILE");
}

std::string tokenFileOrEnvironment(const std::string& option) {
  if (!option.empty()) return option;
  const char* env = std::getenv("ZEB_TOKEN_FILE");
  return env != nullptr ? env : "";
}

platform::net::NetSecurity resolveClientSecurity(const std::string& server,
                                                 const ClientSecurityOptions& options,
                                                 std::string& host, int& port) {
  platform::net::NetSecurity security;
  if (!host::splitServerAddress(server, host, port, security.tls)) {
    throw UsageError(
        "the server needs HOST:PORT or https://HOST:PORT (such as 127.0.0.1:18000), "
        "not '" +
        server + "'");
  }
  if (server.starts_with("http://") && options.tls) {
    throw UsageError("--tls does not go with an http:// address");
  }
  security.tls = security.tls || options.tls;
  if (!security.tls && (options.insecure || !options.caFile.empty())) {
    throw UsageError(std::string(options.insecure ? "--insecure" : "--ca-file") +
                     " is for HTTPS: give --tls or an https:// address");
  }
  security.caFile = options.caFile;
  security.verifyPeer = !options.insecure;
  if (options.insecure) {
    std::fprintf(stderr,
                 "zeb18000: warning: --insecure: the server's certificate is not verified\n");
  }
  std::string tokenFile = tokenFileOrEnvironment(options.tokenFile);
  if (!tokenFile.empty()) security.token = platform::net::readTokenFile(tokenFile);
  return security;
}

}  // namespace zeb::cli
