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

}  // namespace zeb::cli
