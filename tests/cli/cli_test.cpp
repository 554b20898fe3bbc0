// Runs the zeb18000 binary as a user does and checks its output and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Result {
  int status;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    dir_ = fs::temp_directory_path() /
           ("zeb_cli_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  ~CliTest() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& content) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  // Runs with TMPDIR in the test's own directory, so that work files can be counted, and with
  // the variables of "env" ("NAME=VALUE ..."). "feed" is a shell command whose output is piped
  // into the program's standard input.
  Result run(const std::string& args, const std::string& env = "", const std::string& feed = "") {
    fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    fs::create_directories(dir_ / "tmp");
    std::string command = (feed.empty() ? "" : feed + " | ") + "TMPDIR=" + (dir_ / "tmp").string() +
                          " " + env + " " + std::string(ZEB18000_BIN) + " " + args + " >" +
                          out.string() + " 2>" + err.string();
    int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  }

  // Writes "content" last modified at "modified"; gzip-compressed when the name ends in ".gz".
  fs::path writeLog(const std::string& name, const std::string& content, std::time_t modified) {
    fs::path path = write(name, content);
    if (path.extension() == ".gz") {
      std::string command = "gzip -n -c <" + path.string() + " >" + path.string() + ".tmp";
      EXPECT_EQ(std::system(command.c_str()), 0);
      fs::rename(path.string() + ".tmp", path);
    }
    struct timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  std::size_t workFilesLeft() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_ / "tmp")) ++n;
    return n;
  }

  fs::path dir_;
};

const char* kWorkedExample =
    "Dec  5 23:58:10 mx postfix/smtpd[210]: 3F2A1B4C5D: client=gw[192.0.2.7]\n"
    "Dec  5 23:58:10 mx postfix/qmgr[211]: 3F2A1B4C5D: from=<ADDR1>, size=987, nrcpt=2 (queue "
    "active)\n"
    "Dec  5 23:58:11 mx postfix/smtp[212]: 3F2A1B4C5D: to=<ADDR2>, relay=clamav[127.0.0.1], "
    "delay=0.3, status=sent (250 OK)\n"
    "Dec  5 23:58:12 mx postfix/smtp[213]: 3F2A1B4C5D: to=<ADDR2>, relay=mx2[192.0.2.20]:25, "
    "delay=1.2, status=sent (250 Ok)\n"
    "Dec  5 23:58:12 mx postfix/pipe[214]: 3F2A1B4C5D: to=<ADDR3>, relay=local, delay=1.3, "
    "status=sent (delivered)\n"
    "Dec  5 23:59:40 mx postfix/smtp[215]: 4A3B2C1D0E: to=<ADDR4>, relay=none, delay=30, "
    "status=deferred (timed out)\n"
    "Dec  5 23:59:59 mx postfix/qmgr[211]: 3F2A1B4C5D: removed\n"
    "Dec 15 00:00:02 mx postfix/qmgr[211]: 5B4C3D2E1F: from=<>, size=640, nrcpt=1 (queue "
    "active)\n"
    "Dec 15 00:00:03 mx postfix/qmgr[211]: 6C5D4E3F2A: from=<ADDR5>, size=128, nrcpt=1 (queue "
    "active)\n"
    "Dec 15 00:00:04 mx postfix/qmgr[211]: 7D6E5F4A3B: from=<ADDR5>, status=expired, returned "
    "to sender\n";

TEST_F(CliTest, parse_stage_prints_the_worked_example_records) {
  Result r = run("inspect --stage parse " + write("mail.log", kWorkedExample).string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "cdsEnvio\t3F2A1B4C5D\tADDR1\t05\t12\t987\t\n"
            "cdsEnvio\t6C5D4E3F2A\tADDR5\t15\t12\t128\t\n"
            "cdsEnvio\t7D6E5F4A3B\tADDR5\t15\t12\t0\t\n"
            "cdsRecebimento\t05\t12\tADDR2\t3F2A1B4C5D\t\n"
            "cdsRecebimento\t05\t12\tADDR3\t3F2A1B4C5D\t\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(CliTest, parse_stage_escapes_backslashes_and_tabs_and_reads_crlf_logs) {
  Result r =
      run("inspect --stage parse " +
          write("mail.log", "Dec  5 10:00:00 mx postfix/qmgr[1]: A\\B: from=<a\tb>, size=1,\r\n")
              .string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "cdsEnvio\tA\\\\B\ta\\tb\t05\t12\t1\t\n");
}

TEST_F(CliTest, failures_exit_1_with_the_file_and_line) {
  fs::path log = write("bad.log",
                       "\n \n"  // blank lines at the start are not copied, but they count
                       "Dec  5 10:00:00 mx x: y\n"
                       "Dec  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=9x, nrcpt=1\n");
  Result r = run("inspect --stage parse " + log.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "zeb18000: " + log.string() + ", line 4: size '9x' is not a signed 32-bit integer\n");
  EXPECT_EQ(workFilesLeft(), 0u);

  fs::path noMonth =
      write("month.log", "December  5 10:00:00 mx postfix/qmgr[1]: AB: from=<a>, size=1,\n");
  r = run("inspect --stage pair " + noMonth.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zeb18000: " + noMonth.string() +
                       ", line 1: month '' is not a number (the month name is not Jan to Dec)\n");

  fs::path missing = dir_ / "missing.log";
  r = run("inspect --stage parse " + missing.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "zeb18000: Opening '" + missing.string() + "' failed: No such file or directory\n");
}

TEST_F(CliTest, workfile_stage_prints_the_work_file_and_its_figures) {
  Result r = run("inspect --stage workfile --year 2024 " +
                 write("mail.log", "\n  a b\r\nc\n\nd  \n\n").string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "a b\r\r\nc\r\n\r\nd");
  EXPECT_EQ(r.err, "inLinhas=6 stAno=2024\n");
  EXPECT_EQ(workFilesLeft(), 0u);
}

TEST_F(CliTest, pair_stage_prints_the_traffic_and_the_dates) {
  Result r = run("inspect --stage pair --year 2025 " + write("mail.log", kWorkedExample).string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "cdsIntermediario\tADDR1\tADDR2\t2025\t12\t05\t987\n"
            "cdsIntermediario\tADDR1\tADDR3\t2025\t12\t05\t987\n"
            "earliest\t2025\t12\t05\n"
            "last\t2025\t12\t15\n");
  EXPECT_EQ(workFilesLeft(), 0u);
}

TEST_F(CliTest, fold_stage_prints_the_statistics_rows_and_the_summary) {
  Result r = run("inspect --stage fold --year 2025 --branch 0042 " +
                 write("mail.log", kWorkedExample).string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "cdsDados\t0042\tADDR1\tADDR2\t2025\t12\t05\t6°Bim\t2°Sem\t4°Tri\t987\t1\n"
            "cdsDados\t0042\tADDR1\tADDR3\t2025\t12\t05\t6°Bim\t2°Sem\t4°Tri\t987\t1\n"
            "imported\t2\n"
            "grouped\t0\n"
            "period\t05/12/2025 a 15/12/2025\n");
  EXPECT_EQ(run("inspect --stage pair --branch 1 x.log").status, 2);
  EXPECT_EQ(run("inspect --stage fold --branch 12345 x.log").status, 2);
}

TEST_F(CliTest, count_prints_one_line_per_table) {
  fs::path log = write("mail.log", kWorkedExample);
  Result r = run("inspect --stage parse --count " + log.string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "cdsEnvio\t3\ncdsRecebimento\t2\n");
  r = run("inspect --stage pair --count --year 2025 " + log.string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "cdsIntermediario\t2\nearliest\t2025\t12\t05\nlast\t2025\t12\t15\n");
}

TEST_F(CliTest, a_log_without_traffic_is_invalid_and_leaves_no_work_file) {
  Result r = run("inspect --stage pair " +
                 write("mail.log", "Dec  5 10:00:00 mx postfix/qmgr[1]: A: removed\n").string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "zeb18000: Arquivo é inválido ou não possui todos os dados necessários.\n");
  EXPECT_EQ(workFilesLeft(), 0u);
}

TEST_F(CliTest, bad_usage_exits_2) {
  for (const char* args : {"", "nonsense", "inspect", "inspect --stage parse",
                           "inspect --stage bogus x.log", "inspect --stage parse --year 25 x.log",
                           "inspect --stage parse --frobnicate x.log", "inspect --stage"}) {
    Result r = run(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err, "") << args;
  }
}

TEST_F(CliTest, serve_and_stats_report_bad_usage_with_their_own_help_hint) {
  struct Case {
    const char* args;
    const char* message;
  };
  for (const Case& c : {
           Case{"stats", "--db or --server is required"},
           Case{"stats --db", "--db: 1 required PATH|URI missing"},
           Case{"stats --db x.db --from 2024-13-01", "--from needs YYYY-MM-DD, not '2024-13-01'"},
           Case{"stats --db x.db --format xml",
                "unknown format 'xml' (formats: table, tsv, csv, json)"},
           Case{"serve --listen localhost",
                "--listen needs HOST:PORT (such as 127.0.0.1:18000), "
                "not 'localhost'"},
           Case{"serve --db ''",
                "--db needs a SQLite database's path or a PostgreSQL URI (postgresql://...), "
                "not an empty text"},
           Case{"serve --frobnicate", "The following argument was not expected: --frobnicate"},
       }) {
    Result r = run(c.args);
    std::string command = std::string(c.args).substr(0, 5);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_EQ(r.err, "zeb18000: " + std::string(c.message) + "\nRun 'zeb18000 " + command +
                         " --help' for usage.\n")
        << c.args;
  }
  // Help wins over a bad value beside it; the last of a repeated option counts.
  Result r = run("serve --listen nowhere --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--listen HOST:PORT"), std::string::npos);
  r = run("stats --db " + (dir_ / "missing" / "a.db").string() + " --db " +
          (dir_ / "missing" / "b.db").string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("b.db"), std::string::npos) << r.err;
}

TEST_F(CliTest, version_prints_the_project_version) {
  Result r = run("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "zeb18000 " ZEB_VERSION "\n");
}

TEST_F(CliTest, help_exits_0_and_describes_the_stage) {
  Result r = run("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("inspect"), std::string::npos);
  r = run("inspect --help");
  EXPECT_EQ(r.status, 0);
  for (const char* stage : {"workfile", "parse", "pair", "--count", "--year"}) {
    EXPECT_NE(r.out.find(stage), std::string::npos) << stage;
  }
}

// The worked example with real addresses of ours, and a log of "mails" sending and delivery
// pairs over a few days.
std::string exampleLog() {
  std::string log = kWorkedExample;
  const char* addresses[] = {"ADDR1", "a@example.com", "ADDR2", "b@example.org",
                             "ADDR3", "c@example.org", "ADDR4", "d@example.net",
                             "ADDR5", "e@example.com"};
  for (int i = 0; i < 10; i += 2) {
    for (std::size_t at; (at = log.find(addresses[i])) != std::string::npos;) {
      log.replace(at, 5, addresses[i + 1]);
    }
  }
  return log;
}

std::string manyMails(int mails) {
  std::string log;
  char line[256];
  for (int i = 0; i < mails; ++i) {
    int day = 1 + i % 9;
    std::snprintf(line, sizeof line,
                  "Dec  %d 10:00:00 mx postfix/qmgr[1]: Q%08X: from=<s%d@example.com>, size=%d\n"
                  "Dec  %d 10:00:01 mx postfix/smtp[2]: Q%08X: to=<r%d@example.org>, status=sent\n",
                  day, i, i % 50, 100 + i % 1000, day, i, i % 70);
    log += line;
  }
  return log;
}

TEST_F(CliTest, import_stores_what_inspect_folds_and_a_second_import_changes_nothing) {
  std::string log = write("mail.log", exampleLog()).string();
  std::string db = (dir_ / "stats.db").string();

  Result first = run("import --json --db " + db + " " + log);
  EXPECT_EQ(first.status, 0) << first.err;
  nlohmann::json summary = nlohmann::json::parse(first.out);
  EXPECT_EQ(summary["status"], "Importação concluída");
  EXPECT_EQ(summary["imported"], 2);
  EXPECT_EQ(summary["grouped"], 0);
  EXPECT_EQ(summary["stopped"], false);
  Result stored = run("stats --format tsv --db " + db);

  // inspect prints the table's name first and the summary after the rows.
  std::string folded;
  std::istringstream lines(run("inspect --stage fold " + log).out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("cdsDados\t")) folded += line.substr(9) + "\n";
  }
  EXPECT_EQ(stored.out, folded);
  EXPECT_EQ(run("import --quiet --db " + db + " " + log).out, "");
  EXPECT_EQ(run("stats --format tsv --db " + db).out, stored.out);
  EXPECT_EQ(workFilesLeft(), 0u);

  // A listing that cannot be written fails, saying why.
  fs::path err = dir_ / "stderr";
  int raw = std::system(
      (std::string(ZEB18000_BIN) + " stats --db " + db + " >/dev/full 2>" + err.string()).c_str());
  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
  EXPECT_EQ(slurp(err),
            "zeb18000: writing the statistics to 'standard output' failed: No space left on "
            "device\n");
}

TEST_F(CliTest, import_exit_status_and_reasons) {
  struct Case {
    std::string args;
    int status;
    std::string err;  // a line that stderr holds
  };
  std::string noTraffic =
      write("other.log", "Dec  5 10:00:00 mx sshd[1]: session opened\n").string();
  std::string missing = (dir_ / "missing.log").string();
  std::string db = " --db " + (dir_ / "stats.db").string() + " ";
  // A damaged line with a day its month lacks fails the run before anything is sent.
  std::string february30 =
      writeLog("feb30.log",
               "Feb 30 10:00:01 mx postfix/qmgr[1]: Q1: from=<a@example.com>, size=9, nrcpt=1\n"
               "Feb 30 10:00:02 mx postfix/smtp[2]: Q1: to=<b@example.org>, status=sent\n",
               1740787200 /* 2025-03-01 */)
          .string();
  for (const Case& c : {
           Case{"import" + db + missing, 1,
                "zeb18000: Arquivo é inválido ou não possui todos os dados necessários.\n"
                "zeb18000: no file at " +
                    missing + "\n"},
           Case{"import" + db + noTraffic, 1,
                "zeb18000: no sending and no delivery line among 1 line\n"},
           Case{"import --server 127.0.0.1:9 " + write("mail.log", exampleLog()).string(), 1,
                "zeb18000: Organizando dados: calling GetEmail on ZEB18000.rdmImpEmailInt failed: "
                "not connected (connecting to ZEB18000.rdmImpEmailInt on 127.0.0.1:9 failed: "
                "connection refused)\n"},
           Case{"import" + db + february30, 1,
                "zeb18000: Analisando dados: " + february30 +
                    ", line 2: day '30' does not exist in 02/2025\n"},
           Case{"import", 2, "zeb18000: LOG is required\n"},
           Case{"import --server nowhere x.log", 2,
                "zeb18000: the server needs HOST:PORT or https://HOST:PORT (such as "
                "127.0.0.1:18000), not 'nowhere'\n"},
           Case{"import --tls" + db + "x.log", 2,
                "zeb18000: --tls, --ca-file, --insecure and --token-file are for --server\n"},
           Case{"stats --server 127.0.0.1:9 --insecure", 2,
                "zeb18000: --insecure is for HTTPS: give --tls or an https:// address\n"},
           Case{"stats --server 127.0.0.1:9 --token-file /nonexistent/token", 1,
                "zeb18000: reading the token file '/nonexistent/token' failed: No such file or "
                "directory\n"},
           Case{"serve --listen 0.0.0.0:0" + db, 1,
                "zeb18000: Not listening on 0.0.0.0:0 without a token: anyone who can reach "
                "that address could change the statistics."},
           Case{"import --branch 12345" + db + "x.log", 2,
                "zeb18000: the branch code has 1 to 4 characters, not '12345'\n"},
       }) {
    Result r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
  }
  EXPECT_EQ(workFilesLeft(), 0u);
}

// A message through a content filter on 127.0.0.1:10024: handed to the filter, given back under
// a new queue id with the filter's headers, and delivered.
const char* kTwoHops =
    "Mar 14 00:08:33 mx postfix/qmgr[1]: 1A2B3C: from=<a@example.com>, size=1000, nrcpt=1 (queue "
    "active)\n"
    "Mar 14 00:08:34 mx postfix/smtp[2]: 1A2B3C: to=<b@example.org>, "
    "relay=127.0.0.1[127.0.0.1]:10024, delay=0.5, delays=0.1/0/0/0.4, dsn=2.0.0, status=sent "
    "(250 2.0.0 from MTA(smtp:[127.0.0.1]:10025): 250 2.0.0 Ok: queued as 4D5E6F)\n"
    "Mar 14 00:08:34 mx postfix/qmgr[1]: 4D5E6F: from=<a@example.com>, size=1400, nrcpt=1 (queue "
    "active)\n"
    "Mar 14 00:08:35 mx postfix/smtp[3]: 4D5E6F: to=<b@example.org>, "
    "relay=mx.example.org[192.0.2.25]:25, delay=1, dsn=2.0.0, status=sent (250 Ok)\n";

TEST_F(CliTest, a_content_filter_setting_counts_a_message_through_the_filter_once) {
  struct Case {
    std::string args;
    std::string env;
    std::string row;  // VRVOLDADOS and QTEMAIL of the one statistics row
  };
  std::string log = write("mail.log", kTwoHops).string();
  const std::string twice = "2400\t2", once = "1400\t1";
  for (const Case& c : {
           Case{"", "", twice},
           Case{"--content-filter 127.0.0.1:10024", "", once},
           Case{"--content-filter localhost:10024", "", twice},  // neither the name nor the address
           Case{"--content-filter 127.0.0.1:10025,127.0.0.1:10024", "", once},
           Case{"--content-filter 127.0.0.1:10025 --content-filter 127.0.0.1:10024", "", once},
           Case{"", "ZEB_CONTENT_FILTER=localhost:10024,127.0.0.1:10024", once},
           Case{"--content-filter 127.0.0.1:10025", "ZEB_CONTENT_FILTER=127.0.0.1:10024", twice},
       }) {
    Result r = run("inspect --stage fold --year 2026 " + c.args + " " + log, c.env);
    EXPECT_EQ(r.status, 0) << c.args << c.env << "\n" << r.err;
    EXPECT_EQ(
        r.out.substr(0, r.out.find('\n')),
        "cdsDados\t0001\ta@example.com\tb@example.org\t2026\t03\t14\t2°Bim\t1°Sem\t1°Tri\t" + c.row)
        << c.args << c.env;
  }

  std::string db = (dir_ / "stats.db").string();
  Result imported =
      run("import --json --db " + db + " " + log, "ZEB_CONTENT_FILTER=127.0.0.1:10024");
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(nlohmann::json::parse(imported.out)["imported"], 1);

  struct Bad {
    std::string args;
    std::string env;
    std::string entry;
  };
  for (const Bad& c :
       {Bad{"inspect --stage fold --content-filter 127.0.0.1 ", "", "127.0.0.1"},
        Bad{"import --db " + db + " ", "ZEB_CONTENT_FILTER=127.0.0.1:10024,,", ""}}) {
    Result r = run(c.args + log, c.env);
    EXPECT_EQ(r.status, 2) << c.args << c.env;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
              "zeb18000: a content filter needs HOST:PORT (such as 127.0.0.1:10024), not '" +
                  c.entry + "'")
        << c.args << c.env;
  }
}

class ImportSignalTest : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(ImportSignalTest, a_stop_signal_ends_the_run_with_130_and_no_work_file) {
  std::string log = write("big.log", manyMails(150000)).string();
  fs::path out = dir_ / "stdout", err = dir_ / "stderr";
  fs::create_directories(dir_ / "tmp");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    ::freopen(out.c_str(), "w", stdout);
    ::freopen(err.c_str(), "w", stderr);
    std::string db = (dir_ / "stats.db").string();
    ::execl(ZEB18000_BIN, ZEB18000_BIN, "import", "--db", db.c_str(), log.c_str(), nullptr);
    ::_exit(127);
  }
  // Signalled once it reads the log.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (slurp(err).find("Recebendo") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(child, GetParam());
  int raw = 0;
  ::waitpid(child, &raw, 0);

  ASSERT_TRUE(WIFEXITED(raw)) << slurp(err);
  EXPECT_EQ(WEXITSTATUS(raw), 130) << slurp(err);
  EXPECT_NE(slurp(out).find("Importação finalizada pelo usuário"), std::string::npos) << slurp(out);
  EXPECT_EQ(workFilesLeft(), 0u);
}

INSTANTIATE_TEST_SUITE_P(CliTest, ImportSignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGINT ? "SIGINT" : "SIGTERM";
                         });

// Four days across a new year, four mails a day; each mail a sending and a delivery line.
std::vector<std::string> newYearLines() {
  std::vector<std::string> lines;
  const char* days[] = {"Dec 30", "Dec 31", "Jan  1", "Jan  2"};
  int n = 0;
  for (const char* day : days) {
    for (int hour = 3; hour < 24; hour += 6, ++n) {
      std::string time = std::string(day) + " " + (hour < 10 ? "0" : "") + std::to_string(hour);
      std::string id = "Q" + std::to_string(100 + n);
      lines.push_back(time + ":00:00 mx postfix/qmgr[1]: " + id + ": from=<s" +
                      std::to_string(n % 3) + "@example.com>, size=" + std::to_string(100 + n) +
                      ", nrcpt=1 (queue active)\n");
      lines.push_back(
          time + ":00:01 mx postfix/smtp[2]: " + id + ": to=<r" + std::to_string(n % 4) +
          "@example.org>, relay=mx.example.org[192.0.2.1]:25, " + "status=sent (250 ok)\n");
    }
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) text += lines[i];
  return text;
}

TEST_F(CliTest, a_rotation_set_in_any_order_folds_like_the_one_log) {
  const std::vector<std::string> lines = newYearLines();
  const std::time_t dec31 = 1767182400, jan1 = 1767268800, jan2 = 1767394800;  // noon, 23:00
  // Rotated inside Dec 31 and inside Jan 1, the first time between a mail's two lines.
  fs::path whole = writeLog("whole.log", joined(lines, 0, lines.size()), jan2);
  fs::path oldest = writeLog("mail.log.2.gz", joined(lines, 0, 11), dec31);
  fs::path older = writeLog("mail.log.1", joined(lines, 11, 20), jan1);
  fs::path newest = writeLog("mail.log", joined(lines, 20, lines.size()), jan2);
  Result one = run("inspect --stage fold " + whole.string());
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_NE(one.out.find("\t2025\t12\t30\t"), std::string::npos);
  EXPECT_NE(one.out.find("\t2026\t01\t02\t"), std::string::npos);
  EXPECT_NE(one.out.find("imported\t16\n"), std::string::npos) << one.out;
  for (const std::string& order :
       {oldest.string() + " " + older.string() + " " + newest.string(),
        newest.string() + " " + older.string() + " " + oldest.string(),
        older.string() + " " + newest.string() + " " + oldest.string()}) {
    Result set = run("inspect --stage fold " + order);
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, one.out) << order;
  }
}

TEST_F(CliTest, piped_logs_import_like_the_file) {
  fs::path log = write("mail.log", kWorkedExample);
  Result file = run("inspect --stage fold " + log.string());
  ASSERT_EQ(file.status, 0) << file.err;
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string args, feed;
  };
  const Case cases[] = {
      {"a pipe into -", "-", "cat " + log.string()},
      {"a pipe into /dev/stdin", "/dev/stdin", "cat " + log.string()},
      {"a fifo", (dir_ / "fifo").string(),
       "(cat " + log.string() + " >" + (dir_ / "fifo").string() + " &)"},
  };
  for (const Case& c : cases) {
    Result piped = run("inspect --stage fold " + c.args, "", c.feed);
    EXPECT_EQ(piped.status, 0) << c.name << ": " << piped.err;
    EXPECT_EQ(piped.out, file.out) << c.name;
  }
  Result both =
      run("inspect --stage parse --count " + log.string() + " -", "", "cat " + log.string());
  EXPECT_EQ(both.out, "cdsEnvio\t6\ncdsRecebimento\t4\n") << both.err;
  Result imported = run("import --json --db " + (dir_ / "a.db").string() + " - <" + log.string());
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(nlohmann::json::parse(imported.out)["imported"], 2);
  EXPECT_EQ(run("import --db x.db - -").status, 2);
}

TEST_F(CliTest, a_damaged_gzip_log_fails_the_import_naming_it_and_leaves_no_work_file) {
  std::string text;
  for (const std::string& line : newYearLines()) text += line;
  fs::path good = writeLog("good.gz", text, 1767268800);
  std::string bytes = slurp(good);
  std::string badCheck = bytes;
  badCheck[badCheck.size() - 8] ^= 0x55;
  struct Case {
    std::string name, content, reason;
  };
  const Case cases[] = {
      {"truncated.gz", bytes.substr(0, bytes.size() / 2),
       "the file ends inside its compressed data"},
      {"corrupt.gz", badCheck, "the compressed data are damaged (incorrect data check)"},
  };
  for (const Case& c : cases) {
    fs::path path = write(c.name, c.content);
    Result r = run("import --db " + (dir_ / "stats.db").string() + " " + path.string());
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.err.find("zeb18000: Preparando dados...: Decompressing '" + path.string() +
                         "' failed: " + c.reason + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(workFilesLeft(), 0u) << c.name;
  }
  Result stats = run("stats --db " + (dir_ / "stats.db").string());
  EXPECT_EQ(stats.out.find("example"), std::string::npos) << "nothing imported: " << stats.out;
}

TEST_F(CliTest, an_error_in_one_of_several_logs_names_that_log_and_its_line) {
  fs::path first =
      writeLog("mail.log.1", "Dec  5 10:00:00 mx postfix/qmgr[1]: A: removed\n", 1767268800);
  fs::path second = writeLog("mail.log",
                             "Dec  6 10:00:00 mx x: y\n"
                             "Dec  6 10:00:01 mx postfix/qmgr[1]: AB: from=<a>, size=9x, nrcpt=1\n",
                             1767268800);
  Result r = run("inspect --stage parse " + second.string() + " " + first.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "zeb18000: " + second.string() +
                       ", line 2: size '9x' is not a signed 32-bit integer\n");
}

}  // namespace
