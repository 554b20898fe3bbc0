// zeb18000: the headless host of the mail-log import.
#include <cstdio>
#include <exception>
#include <span>
#include <string_view>

#include "commands.h"
#include "platform/core/exceptions.h"
#include "platform/os/heap_tuning.h"

namespace {

constexpr const char* kHelp = R"(Usage: zeb18000 COMMAND [OPTIONS]
       zeb18000 --version

Imports Postfix mail logs into e-mail traffic statistics per sender, recipient and day
(screen ZEB18000, "Importação de Log de E-mail").

Commands:
  import LOG     import a mail log into the application server's statistics
  inspect        run a stage of the import over a log, without any server, and print its
                 tables
  serve          run the application server that stores the statistics (SQLite)
  stats          list the statistics stored in a server's database

Run 'zeb18000 COMMAND --help' for the options of a command.
)";

}  // namespace

int main(int argc, char** argv) {
  zeb::platform::os::tuneHeapForLargeTables(argv);
  std::span<char*> args(argv + 1, argc > 0 ? argc - 1 : 0);
  if (args.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  std::string_view command = args[0];
  try {
    if (command == "-h" || command == "--help" || command == "help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (command == "--version") {
      std::puts("zeb18000 " ZEB_VERSION);
      return 0;
    }
    if (command == "import") return zeb::cli::importCommand(args.subspan(1));
    if (command == "inspect") return zeb::cli::inspectCommand(args.subspan(1));
    if (command == "serve") return zeb::cli::serveCommand(args.subspan(1));
    if (command == "stats") return zeb::cli::statsCommand(args.subspan(1));
    throw zeb::cli::UsageError("unknown command '" + std::string(command) + "'");
  } catch (const zeb::cli::UsageError& e) {
    std::fprintf(stderr, "zeb18000: %s\nRun 'zeb18000 --help' for usage.\n", e.what());
    return 2;
  } catch (const zeb::platform::EAbort&) {
    return 1;  // the reason has been shown already
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zeb18000: %s\n", e.what());
    return 1;
  }
}
