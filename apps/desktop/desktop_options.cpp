// The command line of zeb18000-desktop and its start.
#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "desktop_host.h"
#include "host/host_port.h"
#include "qt_widgets.h"

namespace zeb::desktop {

namespace {

constexpr const char* kDescription =
    R"(The desktop host of the screen ZEB18000, "Importação de Log de E-mail": a main window
whose menu Módulos opens the import screen of the module libzeb18000.so (ZEB_MODULE, else
beside the program), which imports a Postfix mail log into the e-mail statistics of the
application server.

The branch, the server and the embedded server's database are kept between sessions
(Arquivo > Configurações); the options below override them for this session. Without a
server the program runs the application server inside itself over the database.

Módulos > Estatísticas de E-mail shows the statistics stored on the server for a branch
and a date range (the last year by default): a table, the totals, a chart of messages and
bytes per day, and the export of the range as CSV.

--screenshot FILE opens the window (the import screen with --window import or --import),
runs the import of --import LOG and unfolds its details, opens the statistics window over
it with --window stats, writes a PNG of the main window and exits: 0 when all went well, 1 otherwise (the reason on stderr). Without a display it
uses Qt's offscreen platform.)";

[[noreturn]] void usageError(const QString& message) {
  std::fprintf(stderr, "zeb18000-desktop: %s\nRun 'zeb18000-desktop --help' for usage.\n",
               message.toLocal8Bit().constData());
  std::exit(2);
}

bool asksForTextOnly(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    for (const char* flag : {"-h", "--help", "--help-all", "-v", "--version"}) {
      if (std::strcmp(argv[i], flag) == 0) return true;
    }
  }
  return false;
}

bool asksForPicture(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--screenshot", 12) == 0) return true;
  }
  return false;
}

}  // namespace

DesktopOptions parseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QString::fromUtf8(kDescription));
  QCommandLineOption help = parser.addHelpOption();
  QCommandLineOption version = parser.addVersionOption();
  QCommandLineOption branch("branch", "The branch code of the statistics, 1 to 4 characters.",
                            "CODE");
  QCommandLineOption server(
      "server",
      "The application server, HOST:PORT or https://HOST:PORT (the token file and trusted "
      "certificates are in the settings).",
      "ADDRESS");
  QCommandLineOption db("db", "The embedded server's SQLite database (default ./zeb18000.db).",
                        "PATH");
  QCommandLineOption screenshot("screenshot", "Write a PNG of the main window to FILE and exit.",
                                "FILE");
  QCommandLineOption importLog("import", "Open the import screen and import LOG.", "LOG");
  QCommandLineOption window("window", "Open this window at start: import or stats.", "NAME");
  parser.addOptions({branch, server, db, screenshot, importLog, window});

  if (!parser.parse(arguments)) usageError(parser.errorText());
  if (parser.isSet(help)) parser.showHelp(0);
  if (parser.isSet(version)) parser.showVersion();
  if (!parser.positionalArguments().isEmpty()) {
    usageError("unexpected argument '" + parser.positionalArguments().front() + "'");
  }

  DesktopOptions options;
  if (parser.isSet(branch)) options.branch = parser.value(branch);
  if (parser.isSet(server)) {
    options.server = parser.value(server);
    std::string host;
    int port = 0;
    bool tls = false;
    if (!host::splitServerAddress(options.server->toStdString(), host, port, tls)) {
      usageError(
          "the server needs HOST:PORT or https://HOST:PORT (such as 127.0.0.1:18000), "
          "not '" +
          *options.server + "'");
    }
  }
  if (parser.isSet(db)) {
    if (options.server) usageError("--db is the embedded server's; it does not go with --server");
    options.database = parser.value(db);
  }
  if (options.branch && (options.branch->isEmpty() || options.branch->size() > 4)) {
    usageError("the branch code has 1 to 4 characters, not '" + *options.branch + "'");
  }
  options.screenshot = parser.value(screenshot);
  options.importLog = parser.value(importLog);
  options.window = parser.value(window);
  if (!options.window.isEmpty() && options.window != "import" && options.window != "stats") {
    usageError("--window knows the windows 'import' and 'stats', not '" + options.window + "'");
  }
  return options;
}

int runDesktop(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (asksForTextOnly(argc, argv)) {
    // The help and the version need no display.
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName("zeb18000-desktop");
    QCoreApplication::setApplicationVersion(ZEB_VERSION);
    parseCommandLine(arguments);
    return 0;
  }
  // Bad usage is told before any display is needed.
  DesktopOptions options = parseCommandLine(arguments);
  if (asksForPicture(argc, argv) && std::getenv("QT_QPA_PLATFORM") == nullptr &&
      std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("zeb18000-desktop");
  QApplication::setApplicationDisplayName("ZEB18000");
  QApplication::setApplicationVersion(ZEB_VERSION);
  QApplication::setWindowIcon(applicationIcon());
  try {
    DesktopHost host(options);
    if (!options.screenshot.isEmpty()) return host.screenshot();
    host.start();
    return QApplication::exec();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zeb18000-desktop: %s\n", e.what());
    if (options.screenshot.isEmpty()) {
      QMessageBox::critical(nullptr, "ZEB18000", QString::fromUtf8(e.what()));
    }
    return 1;
  }
}

}  // namespace zeb::desktop
