// Runs the benchmarks' log generator as bench/run does and the import over what it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class GenLogTest : public ::testing::Test {
 protected:
  GenLogTest() {
    dir_ = fs::temp_directory_path() /
           ("zeb_gen_log_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  ~GenLogTest() override { fs::remove_all(dir_); }

  // Runs a command with its standard output in a file of the test directory; answers the exit
  // status and that output.
  std::pair<int, std::string> run(const std::string& command) {
    fs::path out = dir_ / "stdout";
    int raw = std::system((command + " >" + out.string() + " 2>/dev/null").c_str());
    std::ifstream in(out, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text.str()};
  }

  std::string generate(const std::string& options) {
    auto [status, log] = run(std::string(GEN_LOG_BIN) + " -o - " + options);
    EXPECT_EQ(status, 0) << options;
    return log;
  }

  fs::path dir_;
};

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

TEST_F(GenLogTest, the_same_options_give_the_same_bytes_on_every_machine) {
  const std::string options = "--lines 200 --seed 42 --start 'Dec 22' --days 20";
  std::string first = generate(options);
  EXPECT_EQ(generate(options), first);
  EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 200);
  EXPECT_NE(generate("--lines 200 --seed 43 --start 'Dec 22' --days 20"), first);
  // Benchmark figures are compared between machines only if their logs are the same bytes. A
  // change to the generator that is meant to change its output changes this value too.
  EXPECT_EQ(fnv1a(first), 8382781367183316295u) << first.substr(0, first.find('\n'));
}

TEST_F(GenLogTest, a_log_across_a_year_end_imports_and_names_only_reserved_domains) {
  std::string log = generate("--lines 3000 --seed 7 --start 'Dec 31' --days 2");
  EXPECT_NE(log.find("\nDec 31 23:"), std::string::npos);
  EXPECT_NE(log.find("\nJan  1 00:"), std::string::npos);

  std::set<std::string> domains;
  static const std::regex kAddress("@([A-Za-z0-9.-]+)>");
  for (std::sregex_iterator at(log.begin(), log.end(), kAddress), end; at != end; ++at)
    domains.insert((*at)[1]);
  static const std::regex kReserved(R"(((.+\.)?example\.(com|org|net))|(.+\.test))");
  for (const auto& domain : domains) EXPECT_TRUE(std::regex_match(domain, kReserved)) << domain;
  EXPECT_GT(domains.size(), 20u);

  fs::path path = dir_ / "mail.log";
  std::ofstream(path, std::ios::binary) << log;
  auto [status, counts] = run(std::string(ZEB18000_BIN) + " inspect --stage fold --count " +
                              "--year 2024 " + path.string());
  EXPECT_EQ(status, 0);
  EXPECT_NE(counts.find("\nperiod\t31/12/2023 a 01/01/2024\n"), std::string::npos) << counts;
  std::smatch imported;
  ASSERT_TRUE(std::regex_search(counts, imported, std::regex("imported\t([0-9]+)"))) << counts;
  EXPECT_GT(std::stoi(imported[1]), 300) << counts;
}

std::vector<std::string> linesOf(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) out.push_back(line);
  return out;
}

// The lines without their heads: what follows the host field.
std::vector<std::string> bodies(const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& line : linesOf(log)) out.push_back(line.substr(line.find(" mail ") + 6));
  return out;
}

TEST_F(GenLogTest, a_log_its_rfc3339_twin_and_a_mix_of_both_fold_to_the_same_statistics) {
  const std::string options = "--lines 6000 --seed 11 --start 'Dec 31' --days 2";
  std::string classic = generate(options);
  std::string stamped = generate(options + " --rfc3339");
  ASSERT_EQ(bodies(stamped), bodies(classic));
  EXPECT_EQ(stamped.substr(0, 33), "2023-12-31T00:05:11.702000+01:00 ");
  EXPECT_NE(stamped.find("\n2024-01-01T00:05:27.162170+01:00 "), std::string::npos);
  // A size target counts the classic form, so that the twins hold the same lines.
  EXPECT_EQ(bodies(generate("--mb 0.2 --seed 5 --rfc3339")), bodies(generate("--mb 0.2 --seed 5")));
  // The first half classic, then the server switched to the high-precision format.
  std::vector<std::string> classicLines = linesOf(classic), stampedLines = linesOf(stamped);
  std::string mixed;
  for (std::size_t i = 0; i < classicLines.size(); ++i) {
    mixed += (i < classicLines.size() / 2 ? classicLines[i] : stampedLines[i]) + "\n";
  }

  auto fold = [this](const std::string& name, const std::string& log, const std::string& year) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << log;
    auto [status, out] = run(std::string(ZEB18000_BIN) + " inspect --stage fold --year " + year +
                             " " + path.string());
    EXPECT_EQ(status, 0) << name;
    return out;
  };
  std::string expected = fold("classic.log", classic, "2024");
  EXPECT_NE(expected.find("\nperiod\t31/12/2023 a 01/01/2024\n"), std::string::npos) << expected;
  EXPECT_GT(std::count(expected.begin(), expected.end(), '\n'), 300);
  // The stamps date every stamped record, whatever year the file is given.
  EXPECT_EQ(fold("stamped.log", stamped, "1999"), expected);
  EXPECT_EQ(fold("mixed.log", mixed, "1999"), expected);
}

}  // namespace
