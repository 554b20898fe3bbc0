// Faults injected into real runs: the zeb18000 importer and server as child processes, with the
// disk filling (a file-size limit), a log cut while it is read, and either process killed
// outright. After each, the error must say what failed, no work file may be left, and the
// database must hold whole batches only, repaired by importing again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// An upload batch closes after traffic row 1001 and then after every 1000 more (and at the last
// row), so a database holds a whole number of batches exactly when its messages add up to one
// of these.
bool wholeBatches(long messages, long traffic) {
  return messages == 0 || messages == traffic ||
         (messages >= 1001 && (messages - 1001) % 1000 == 0);
}

// The messages of the batches before the one that closed at traffic row "row".
long acknowledgedBefore(long row) { return row <= 1001 ? 0 : 1001 + (row - 1002) / 1000 * 1000; }

// "mails" messages of one recipient each over nine days, so that every mail is a traffic row.
std::string mails(int count, int salt = 0) {
  std::string log;
  char line[256];
  for (int i = 0; i < count; ++i) {
    int day = 1 + i * 9 / count;
    std::snprintf(line, sizeof line,
                  "Dec  %d 10:00:00 mx postfix/qmgr[1]: Q%04X%04X: from=<s%d@example.com>, "
                  "size=%d, nrcpt=1 (queue active)\n"
                  "Dec  %d 10:00:01 mx postfix/smtp[2]: Q%04X%04X: to=<r%d@example.org>, "
                  "status=sent\n",
                  day, salt, i, i % 40, 2048 + i % 900 * 1024, day, salt, i, (i + salt) % 60);
    log += line;
  }
  return log;
}

class Process {
 public:
  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Starts zeb18000 with "args", TMPDIR "tmp" and output into "out"/"err"; "fileLimit" bytes
  // (0: none) bound every file it writes, and it sees EFBIG rather than dying of SIGXFSZ.
  void start(const std::vector<std::string>& args, const fs::path& tmp, const fs::path& out,
             const fs::path& err, rlim_t fileLimit = 0) {
    out_ = out;
    err_ = err;
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::setenv("TMPDIR", tmp.c_str(), 1);
      ::setenv("ZEB_NO_HEAP_TUNING", "1", 1);
      if (fileLimit > 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        // The hard limit stays, so that the test may give the room back (prlimit).
        rlimit limit{fileLimit, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
      }
      int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(o, 1);
      ::dup2(e, 2);
      std::vector<char*> argv{const_cast<char*>(ZEB18000_BIN)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(ZEB18000_BIN, argv.data());
      ::_exit(127);
    }
  }

  pid_t pid() const { return pid_; }
  std::string out() const { return slurp(out_); }
  std::string err() const { return slurp(err_); }

  // The exit status, or 128 + the signal that ended it.
  int wait() {
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  // Whether it has not ended yet; an ended child is left for wait() to reap.
  bool running() const {
    siginfo_t info{};
    return pid_ > 0 &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  int stop(int signal) {
    ::kill(pid_, signal);
    return wait();
  }

 private:
  pid_t pid_ = -1;
  fs::path out_, err_;
};

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() {
    dir_ = fs::temp_directory_path() /
           ("zeb_fault_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    tmp_ = dir_ / "tmp";
    fs::create_directories(tmp_);
  }
  ~FaultTest() override { fs::remove_all(dir_); }

  // Writes a log last modified on 31 December 2025, which gives its December lines their year.
  fs::path write(const std::string& name, const std::string& content) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    struct timespec times[2] = {{1767182400, 0}, {1767182400, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    return path;
  }

  std::vector<std::string> workFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(tmp_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  // Starts "zeb18000 serve" on any free port over "db" and answers HOST:PORT.
  std::string serve(Process& server, const fs::path& db, rlim_t fileLimit = 0) {
    // Files of its own, so that no earlier server's address is taken for this one's.
    std::string name = "serve" + std::to_string(++servers_);
    server.start({"serve", "--listen", "127.0.0.1:0", "--db", db.string()}, tmp_,
                 dir_ / (name + ".out"), dir_ / (name + ".err"), fileLimit);
    std::smatch m;
    static const std::regex at("http://(127\\.0\\.0\\.1:[0-9]+)/");
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(2ms)) {
      std::string out = server.out();
      if (std::regex_search(out, m, at)) return m[1];
      if (!server.running()) break;
    }
    ADD_FAILURE() << "the server did not start: " << server.err();
    return "127.0.0.1:9";
  }

  int import(const std::vector<std::string>& args, std::string* err = nullptr) {
    Process p;
    std::vector<std::string> all{"import", "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    p.start(all, tmp_, dir_ / "import.out", dir_ / "import.err");
    int status = p.wait();
    if (err) *err = p.err();
    return status;
  }

  // What "db" holds, as "stats --format tsv" lists it (merging what is pending).
  std::string stored(const fs::path& db, const std::string& branch = "") {
    Process p;
    std::vector<std::string> args{"stats", "--format", "tsv", "--db", db.string()};
    if (!branch.empty()) args.insert(args.end(), {"--branch", branch});
    p.start(args, tmp_, dir_ / "stats.out", dir_ / "stats.err");
    EXPECT_EQ(p.wait(), 0) << p.err();
    return p.out();
  }
  static long messages(const std::string& tsv) {
    long total = 0;
    std::istringstream lines(tsv);
    for (std::string line; std::getline(lines, line);) {
      total += std::stol(line.substr(line.rfind('\t') + 1));
    }
    return total;
  }

  // The rows of one clean import of "log" into a database of its own.
  std::string cleanImport(const fs::path& log) {
    fs::path db = dir_ / "clean.db";
    EXPECT_EQ(import({"--db", db.string(), log.string()}), 0);
    return stored(db);
  }

  fs::path dir_;
  fs::path tmp_;
  int servers_ = 0;
};

constexpr int kTraffic = 4500;  // five upload batches
// What the pending file of a server holds after one import of mails(kTraffic), roughly.
constexpr std::uintmax_t kPendingBytes = 120000;

// Waits until the server of "db" has acknowledged "bytes" of batches (or the import is over).
void waitForPending(const fs::path& db, std::uintmax_t bytes, const Process& importer) {
  fs::path pending = db.string() + "-pending";
  std::error_code ec;
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       std::chrono::steady_clock::now() < deadline && importer.running();) {
    std::uintmax_t size = fs::file_size(pending, ec);
    if (!ec && size >= bytes) return;
  }
}

TEST_F(FaultTest, the_disk_filling_under_the_work_file_fails_naming_it_and_stores_nothing) {
  // Over one batch of the work file (49 blocks of 100 KiB), under a limit of 1 MiB.
  fs::path log = write("mail.log", mails(40000));
  fs::path db = dir_ / "stats.db";
  std::string err;
  Process p;
  p.start({"import", "--quiet", "--db", db.string(), log.string()}, tmp_, dir_ / "import.out",
          dir_ / "import.err", 1 << 20);
  EXPECT_EQ(p.wait(), 1);
  EXPECT_TRUE(std::regex_search(p.err(), std::regex("'" + tmp_.string() +
                                                    "/tmpzeb-[0-9]+-[^']+' failed: File too "
                                                    "large")))
      << p.err();
  EXPECT_EQ(workFiles(), std::vector<std::string>{});
  if (fs::exists(db)) {
    EXPECT_EQ(stored(db), "");
  }
}

// The position of the importer's read in "log", or -1 when it has no such file open.
long readPosition(pid_t pid, const fs::path& log) {
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (fs::read_symlink(fd.path(), ec) != log) continue;
    std::string info =
        slurp("/proc/" + std::to_string(pid) + "/fdinfo/" + fd.path().filename().string());
    if (info.starts_with("pos:")) return std::stol(info.substr(4));
  }
  return -1;
}

TEST_F(FaultTest, a_log_cut_while_it_is_read_fails_naming_it_and_stores_nothing) {
  const std::string text = mails(150000);
  fs::path db = dir_ / "stats.db";
  // Stopped in the middle of its read, the log is emptied as logrotate's copytruncate does. On a
  // busy machine the read may end before the stop lands: the import is then run again.
  fs::path log;
  Process p;
  long at = -1;
  for (int attempt = 0; attempt < 5; ++attempt) {
    log = write("mail.log", text);
    for (const char* suffix : {"", "-wal", "-shm", "-pending"}) fs::remove(db.string() + suffix);
    p.start({"import", "--quiet", "--db", db.string(), log.string()}, tmp_, dir_ / "import.out",
            dir_ / "import.err");
    at = -1;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         at <= 0 && p.running() && std::chrono::steady_clock::now() < deadline;) {
      at = readPosition(p.pid(), log);
    }
    ::kill(p.pid(), SIGSTOP);
    at = readPosition(p.pid(), log);
    if (at > 0 && at < static_cast<long>(text.size())) break;
    ::kill(p.pid(), SIGCONT);
    p.wait();
  }
  ASSERT_GT(at, 0) << "the read ended before the log could be cut, five times over";
  fs::resize_file(log, 0);
  ::kill(p.pid(), SIGCONT);

  EXPECT_EQ(p.wait(), 1);
  EXPECT_NE(p.err().find("Reading '" + log.string() +
                         "' failed: the log was cut while it was "
                         "read: it ended after "),
            std::string::npos)
      << p.err();
  EXPECT_EQ(workFiles(), std::vector<std::string>{});
  if (fs::exists(db)) {
    EXPECT_EQ(stored(db), "");
  }
}

TEST_F(FaultTest, a_server_killed_during_the_upload_keeps_whole_batches_and_a_reimport_repairs) {
  fs::path log = write("mail.log", mails(kTraffic));
  std::string clean = cleanImport(log);
  ASSERT_EQ(messages(clean), kTraffic);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<std::uintmax_t> point(0, kPendingBytes);
  int failed = 0;
  for (int round = 0; round < 12; ++round) {
    fs::path db = dir_ / ("stats" + std::to_string(round) + ".db");
    std::string at;
    {
      Process server;
      at = serve(server, db);
      Process importer;
      importer.start({"import", "--quiet", "--server", at, log.string()}, tmp_, dir_ / "import.out",
                     dir_ / "import.err");
      waitForPending(db, point(random), importer);
      EXPECT_EQ(server.stop(SIGKILL), 128 + SIGKILL);
      int status = importer.wait();
      std::string err = importer.err();
      EXPECT_TRUE(status == 0 || status == 1) << status;
      if (status == 1) {
        ++failed;
        // The call and the reason, never the client library's bare error name.
        EXPECT_TRUE(std::regex_search(
            err, std::regex("calling (GetEmail|SetDelEmail|SetEmail) on [^ ]+ failed: (the "
                            "connection|the server closed|connection refused|not connected)")))
            << err;
      }
      EXPECT_EQ(workFiles(), std::vector<std::string>{});
    }
    // The next process to open the database merges what was acknowledged, whole batches only.
    long kept = messages(stored(db));
    EXPECT_TRUE(wholeBatches(kept, kTraffic)) << "round " << round << ": " << kept;

    Process server;
    at = serve(server, db);
    std::string err;
    EXPECT_EQ(import({"--server", at, log.string()}, &err), 0) << err;
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.err();
    EXPECT_EQ(stored(db), clean) << "round " << round;
  }
  EXPECT_GT(failed, 0) << "no kill fell into an upload";
}

TEST_F(FaultTest, a_full_disk_under_the_server_fails_the_batch_and_keeps_what_was_acknowledged) {
  fs::path log = write("mail.log", mails(kTraffic));
  std::string clean = cleanImport(log);
  fs::path db = dir_ / "stats.db";
  Process server;
  std::string at = serve(server, db, 64 << 10);
  std::string err;
  EXPECT_EQ(import({"--server", at, log.string()}, &err), 1);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, std::regex("Importando ([0-9]+)/[0-9]+: .*File too large")))
      << err;
  EXPECT_TRUE(server.running());
  EXPECT_EQ(workFiles(), std::vector<std::string>{});

  // Given room again, the same server stops cleanly with every acknowledged batch stored, and
  // serves a new import that repairs the rest.
  rlimit room{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(server.pid(), RLIMIT_FSIZE, &room, nullptr), 0);
  EXPECT_EQ(server.stop(SIGTERM), 0) << server.err();
  EXPECT_EQ(messages(stored(db)), acknowledgedBefore(std::stol(m[1])));
  at = serve(server, db, 0);
  EXPECT_EQ(import({"--server", at, log.string()}, &err), 0) << err;
  EXPECT_EQ(server.stop(SIGTERM), 0) << server.err();
  EXPECT_EQ(stored(db), clean);
}

TEST_F(FaultTest, an_importer_killed_outright_leaves_a_work_file_that_the_next_run_removes) {
  fs::path log = write("mail.log", mails(kTraffic));
  std::string clean = cleanImport(log);
  std::size_t left = 0;  // work files that killed imports left
  std::mt19937 random(8122026);
  std::uniform_int_distribution<std::uintmax_t> point(0, kPendingBytes);
  for (int round = 0; round < 8; ++round) {
    fs::path db = dir_ / ("stats" + std::to_string(round) + ".db");
    Process server;
    std::string at = serve(server, db);
    Process importer;
    importer.start({"import", "--quiet", "--server", at, log.string()}, tmp_, dir_ / "import.out",
                   dir_ / "import.err");
    waitForPending(db, point(random), importer);
    importer.stop(SIGKILL);
    EXPECT_LE(workFiles().size(), 1u);
    left += workFiles().size();
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.err();
    long kept = messages(stored(db));
    EXPECT_TRUE(wholeBatches(kept, kTraffic)) << "round " << round << ": " << kept;

    at = serve(server, db);
    std::string err;
    EXPECT_EQ(import({"--server", at, log.string()}, &err), 0) << err;
    EXPECT_EQ(workFiles(), std::vector<std::string>{}) << "round " << round;
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.err();
    EXPECT_EQ(stored(db), clean) << "round " << round;
  }
  EXPECT_GT(left, 0u) << "no kill left a work file behind";
}

// The rotations of one log, oldest first, cut in the middle of days (as rotation at a size
// does), so that two imports of overlapping rotations carry different parts of a day.
std::vector<std::string> rotations(const std::string& log, int parts) {
  std::vector<std::string> cut;
  std::size_t from = 0;
  for (int k = 1; k <= parts; ++k) {
    std::size_t to = k == parts ? log.size() : log.find('\n', log.size() * k / parts) + 1;
    cut.push_back(log.substr(from, to - from));
    from = to;
  }
  return cut;
}

TEST_F(FaultTest, imports_at_once_store_each_branch_as_its_imports_one_after_another) {
  fs::path one = write("one.log", mails(3000, 1));
  fs::path two = write("two.log", mails(3000, 2));
  std::vector<std::string> parts = rotations(mails(9000, 3), 3);
  fs::path older = write("mail.log.2", parts[0]);
  fs::path middle = write("mail.log.1", parts[1]);
  fs::path newer = write("mail.log", parts[2]);
  const std::vector<std::string> first = {"--branch", "0003", older.string(), middle.string()};
  const std::vector<std::string> second = {"--branch", "0003", middle.string(), newer.string()};

  // The outcomes allowed: each branch's logs imported one after another, in some order.
  auto inTurn = [&](const std::string& name,
                    const std::vector<const std::vector<std::string>*>& imports) {
    fs::path db = dir_ / (name + ".db");
    for (const auto* args : imports) {
      std::vector<std::string> all{"--db", db.string()};
      all.insert(all.end(), args->begin(), args->end());
      EXPECT_EQ(import(all), 0);
    }
    return db;
  };
  const std::vector<std::string> importOne = {"--branch", "0001", one.string()};
  const std::vector<std::string> importTwo = {"--branch", "0002", two.string()};
  fs::path alone = inTurn("alone", {&importOne, &importTwo});
  std::string branchOne = stored(alone, "0001"), branchTwo = stored(alone, "0002");
  std::string firstThenSecond = stored(inTurn("first-second", {&first, &second}), "0003");
  std::string secondThenFirst = stored(inTurn("second-first", {&second, &first}), "0003");
  ASSERT_NE(firstThenSecond, secondThenFirst) << "the rotations do not overlap in a day";

  int firstWon = 0;
  for (int round = 0; round < 6; ++round) {
    fs::path db = dir_ / ("together" + std::to_string(round) + ".db");
    Process server;
    std::string at = serve(server, db);
    std::vector<std::vector<std::string>> runs = {importOne, importTwo, first, second};
    // Half the rounds start the overlapping imports in the other order.
    if (round % 2 == 1) std::swap(runs[2], runs[3]);
    Process importers[4];
    for (int i = 0; i < 4; ++i) {
      std::vector<std::string> args{"import", "--quiet", "--server", at};
      args.insert(args.end(), runs[i].begin(), runs[i].end());
      std::string name = "import" + std::to_string(i);
      importers[i].start(args, tmp_, dir_ / (name + ".out"), dir_ / (name + ".err"));
    }
    for (Process& importer : importers) EXPECT_EQ(importer.wait(), 0) << importer.err();
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.err();

    EXPECT_EQ(stored(db, "0001"), branchOne) << "round " << round;
    EXPECT_EQ(stored(db, "0002"), branchTwo) << "round " << round;
    std::string overlapping = stored(db, "0003");
    EXPECT_TRUE(overlapping == firstThenSecond || overlapping == secondThenFirst)
        << "round " << round << ": branch 0003 holds neither order's rows";
    firstWon += overlapping == secondThenFirst;
    EXPECT_EQ(workFiles(), std::vector<std::string>{});
  }
  RecordProperty("orders", std::to_string(firstWon) + " of 6 as the second, then the first");
}

}  // namespace
