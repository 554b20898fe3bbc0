// gen_log: writes a synthetic Postfix mail log (syslog text, LF line ends) for the benchmarks.
//
// usage: gen_log (--mb N | --lines N) [-o FILE] [--seed S] [--start "Mon DD"] [--days D]
//                [--year YYYY] [--host NAME] [--rfc3339]
//
// The same options always give the same bytes, on any machine and compiler: the generator draws
// from its own xoshiro256** stream, uses integer arithmetic only, never reads the clock or the
// locale, and makes every draw a statement of its own, since compilers evaluate a call's
// arguments in different orders.
//
// What the import sees in it, as on a busy server: messages interleave in time order; smtpd
// connect/client/disconnect, cleanup message-id, qmgr from=<...>, size=N, nrcpt=N (again on every
// retry of deferred mail) and removed; smtp, local, lmtp and pipe deliveries, one line per
// recipient, sent, deferred, bounced or expired, with null-sender bounce notices; a quarter of
// the mail handed to the clamav content filter (relay=clamav) and re-injected under a new queue
// id; NOQUEUE rejects and failed SASL logins; about a tenth of lines from other programs.
// Senders and recipients are drawn with Zipf-like popularity, so statistics rows group. Time
// runs over --days days from --start; the year is not printed, so a late-December start crosses
// a year end. --rfc3339 writes the same lines with the stamps of rsyslog's high-precision format
// instead ("2023-01-30T00:00:01.000123+01:00": the same local time, a fixed offset, microseconds),
// the twin of the classic log: --mb then still counts the classic form's bytes. Only reserved names
// appear: example.com/.org/.net, *.test and documentation IPs. A summary of what was written goes
// to standard error.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

using std::int64_t;
using std::uint64_t;

constexpr int64_t kSecond = 1000;  // the clock counts milliseconds
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kDay = 86400 * kSecond;

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 24> kFirst = {
    "anna", "ben",   "carla", "david", "emma",  "felix", "greta",  "hans",
    "ines", "jonas", "karin", "lukas", "maria", "nina",  "oliver", "paula",
    "ralf", "sara",  "tim",   "ute",   "joao",  "ana",   "pedro",  "lucia"};
constexpr std::array<std::string_view, 20> kLast = {
    "schmidt",  "mueller", "weber",   "fischer", "meyer",    "wagner",  "becker",
    "hoffmann", "koch",    "richter", "klein",   "wolf",     "neumann", "braun",
    "krause",   "silva",   "santos",  "costa",   "oliveira", "pereira"};
constexpr std::array<std::string_view, 10> kRoles = {"info",       "sales",  "support", "noreply",
                                                     "billing",    "news",   "jobs",    "office",
                                                     "accounting", "contato"};
constexpr std::array<std::string_view, 18> kWords = {
    "nord", "sued", "blue", "green", "star",  "sun", "data", "net",  "web",
    "shop", "bau",  "tech", "log",   "media", "med", "auto", "agro", "terra"};
// Large mailbox providers come first so that they are the most popular domains.
constexpr std::array<std::string_view, 5> kProviders = {"example.net", "mail.test", "inbox.test",
                                                        "post.example.net", "webmail.test"};
constexpr std::array<std::string_view, 2> kLocalDomains = {"example.com", "example.org"};
constexpr std::array<std::string_view, 3> kTestNets = {"192.0.2.", "198.51.100.", "203.0.113."};
constexpr int kRecipients = 30000;
constexpr int kSenders = 3000;
constexpr int kMaxRounds = 4;  // delivery attempts before deferred mail expires

// xoshiro256**, seeded through splitmix64: a fixed, portable stream for a given seed.
class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (auto& word : s_) {
      seed += 0x9E3779B97F4A7C15ULL;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      word = z ^ (z >> 31);
    }
  }
  uint64_t next() {
    uint64_t result = rotl(s_[1] * 5, 7) * 9;
    uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  // The modulo bias is below 2^-20 for every range drawn here.
  uint64_t below(uint64_t n) { return next() % n; }
  int64_t between(int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo + 1)));
  }
  bool percent(int p) { return below(100) < static_cast<uint64_t>(p); }
  template <class Seq>
  const auto& pick(const Seq& items) {
    return items[below(items.size())];
  }
  // An index drawn with the given integer weights.
  template <std::size_t N>
  std::size_t weighted(const std::array<int, N>& weights) {
    int total = 0;
    for (int w : weights) total += w;
    auto x = static_cast<int>(below(static_cast<uint64_t>(total)));
    std::size_t i = 0;
    while (x >= weights[i]) x -= weights[i++];
    return i;
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t s_[4];
};

// Draws indices 0..n-1 with Zipf popularity (exponent 1), the ranks shuffled so that the
// popular items are spread over the population.
class ZipfPicker {
 public:
  ZipfPicker() = default;
  ZipfPicker(Rng& rng, std::size_t n, bool shuffle = true) : rank_(n) {
    for (std::size_t i = 0; i < n; ++i) rank_[i] = static_cast<int>(i);
    if (shuffle) {
      for (std::size_t i = n; i > 1; --i) std::swap(rank_[i - 1], rank_[rng.below(i)]);
    }
    uint64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) cumulative_.push_back(sum += (uint64_t{1} << 40) / (i + 1));
  }
  int operator()(Rng& rng) const {
    uint64_t x = rng.below(cumulative_.back());
    auto at = std::upper_bound(cumulative_.begin(), cumulative_.end(), x) - cumulative_.begin();
    return rank_[static_cast<std::size_t>(at)];
  }

 private:
  std::vector<int> rank_;
  std::vector<uint64_t> cumulative_;
};

// Appends texts, characters and integers to a line.
template <class... Parts>
void put(std::string& out, const Parts&... parts) {
  auto one = [&out](const auto& part) {
    using T = std::decay_t<decltype(part)>;
    if constexpr (std::is_same_v<T, char>) {
      out.push_back(part);
    } else if constexpr (std::is_integral_v<T>) {
      char digits[24];
      out.append(digits, std::to_chars(digits, digits + sizeof digits, part).ptr);
    } else {
      out.append(std::string_view(part));
    }
  };
  (one(parts), ...);
}

template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  put(out, parts...);
  return out;
}

void putHex(std::string& out, uint64_t value, int digits, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) out.push_back(set[(value >> (4 * i)) & 15]);
}

// A delay as Postfix prints it: two decimals below 1 s, one below 10 s, none above, without
// trailing zeros.
void putDelay(std::string& out, int64_t ms) {
  if (ms >= 10 * kSecond) return put(out, ms / kSecond);
  int64_t scaled = ms >= kSecond ? ms / 100 : ms / 10;
  int decimals = ms >= kSecond ? 1 : 2;
  int64_t unit = decimals == 1 ? 10 : 100;
  put(out, scaled / unit);
  int64_t fraction = scaled % unit;
  if (fraction == 0) return;
  out.push_back('.');
  if (decimals == 2 && fraction < 10) out.push_back('0');
  if (fraction % 10 == 0) fraction /= 10;
  put(out, fraction);
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar).
int64_t daysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

struct Civil {
  int64_t year;
  int month, day;
};

Civil civilFromDays(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2), month, day};
}

struct Options {
  uint64_t lines = 0;  // one of lines and bytes is the target, the other 0
  uint64_t bytes = 0;
  uint64_t seed = 1;
  std::string start = "Jan 30";
  int64_t year = 2023;
  int64_t spanMs = 3 * kDay;
  std::string host = "mail";
  std::string output = "-";
  bool rfc3339 = false;
};

// What a line counts as in the summary.
enum class Tag {
  Other,
  NonPostfix,
  From,
  FromRetry,
  Expired,
  Local,
  Lmtp,
  Pipe,
  Smtp,
  Hop,
  Deferred,
  Bounced,
  Reject
};
constexpr int kTags = 13;

// Holds scheduled lines and writes them in time order once the arrival clock passes them, which
// is what interleaves the messages. Stops at the target count of lines or bytes.
class Emitter {
 public:
  Emitter(std::FILE* out, const Options& options) : out_(out), options_(options) {
    buffer_.reserve(kFlushAt + 4096);
  }

  void at(int64_t t, Tag tag, std::string text) {
    // "Mon DD HH:MM:SS host " before the text, LF after it
    scheduled_ += options_.lines != 0 ? 1 : 18 + options_.host.size() + text.size();
    heap_.push_back({t, seq_++, tag, std::move(text)});
    std::push_heap(heap_.begin(), heap_.end(), later);
  }

  // Writes every line due at or before "now".
  void flushUntil(int64_t now) {
    while (!heap_.empty() && heap_.front().t <= now && !done_) {
      std::pop_heap(heap_.begin(), heap_.end(), later);
      emit(heap_.back());
      heap_.pop_back();
    }
    if (buffer_.size() >= kFlushAt || done_) write();
  }

  bool done() const { return done_; }
  uint64_t scheduled() const { return scheduled_; }
  // Lines or bytes written, whichever the target counts.
  uint64_t written() const { return options_.lines != 0 ? lines_ : bytes_; }

  void summary(std::FILE* to) const {
    auto n = [this](Tag t) { return count_[static_cast<int>(t)]; };
    uint64_t final = n(Tag::Local) + n(Tag::Lmtp) + n(Tag::Pipe) + n(Tag::Smtp);
    std::fprintf(to,
                 "lines %llu, bytes %llu, from %s to %s\n"
                 "qmgr from-lines %llu (retries of deferred mail %llu), expired %llu\n"
                 "sent: final %llu (smtp %llu, pipe %llu, local %llu, lmtp %llu), "
                 "content-filter hops %llu\n"
                 "deferred %llu, bounced %llu, NOQUEUE rejects %llu, non-postfix lines %llu "
                 "(%.1f%%)\n",
                 ull(lines_), ull(written_), first_.c_str(), stamp_.substr(0, 15).c_str(),
                 ull(n(Tag::From) + n(Tag::FromRetry)), ull(n(Tag::FromRetry)),
                 ull(n(Tag::Expired)), ull(final), ull(n(Tag::Smtp)), ull(n(Tag::Pipe)),
                 ull(n(Tag::Local)), ull(n(Tag::Lmtp)), ull(n(Tag::Hop)), ull(n(Tag::Deferred)),
                 ull(n(Tag::Bounced)), ull(n(Tag::Reject)), ull(n(Tag::NonPostfix)),
                 100.0 * static_cast<double>(n(Tag::NonPostfix)) /
                     static_cast<double>(std::max<uint64_t>(lines_, 1)));
  }

  bool failed() const { return failed_; }

 private:
  static constexpr std::size_t kFlushAt = 1 << 20;
  struct Line {
    int64_t t;
    uint64_t seq;  // breaks ties in scheduling order, so the order never depends on the heap
    Tag tag;
    std::string text;
  };
  static bool later(const Line& a, const Line& b) { return a.t != b.t ? a.t > b.t : a.seq > b.seq; }
  static unsigned long long ull(uint64_t v) { return v; }

  void emit(const Line& line) {
    int64_t second = line.t / kSecond;
    if (second != second_) {
      second_ = second;
      Civil date = civilFromDays(second / 86400);
      int64_t s = second % 86400;
      stamp_.clear();
      put(stamp_, kMonths[static_cast<std::size_t>(date.month - 1)], ' ', date.day < 10 ? " " : "",
          date.day, ' ', s / 36000, s / 3600 % 10, ':', s / 600 % 6, s / 60 % 10, ':', s % 60 / 10,
          s % 10, ' ', options_.host, ' ');
      if (first_.empty()) first_ = stamp_.substr(0, 15);
      if (options_.rfc3339) {
        rfcStamp_.clear();
        put(rfcStamp_, date.year, '-', date.month / 10, date.month % 10, '-', date.day / 10,
            date.day % 10, 'T', stamp_.substr(7, 8), '.');
      }
    }
    std::size_t start = buffer_.size();
    if (options_.rfc3339) {
      // Below the clock's milliseconds, the line's sequence number fills the microseconds.
      int64_t micro = line.t % kSecond * 1000 + static_cast<int64_t>(line.seq % 1000);
      buffer_.append(rfcStamp_);
      for (int64_t unit = 100000; unit > 0; unit /= 10)
        buffer_.push_back(static_cast<char>('0' + micro / unit % 10));
      buffer_.append("+01:00 ");
      buffer_.append(options_.host);
      buffer_.push_back(' ');
    } else {
      buffer_.append(stamp_);
    }
    buffer_.append(line.text);
    buffer_.push_back('\n');
    ++lines_;
    bytes_ += stamp_.size() + line.text.size() + 1;
    written_ += buffer_.size() - start;
    ++count_[static_cast<int>(line.tag)];
    done_ = options_.lines != 0 ? lines_ >= options_.lines : bytes_ >= options_.bytes;
  }

  void write() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size())
      failed_ = true;
    buffer_.clear();
  }

  std::FILE* out_;
  const Options& options_;
  std::vector<Line> heap_;
  // bytes_ counts the classic form, which the target and the pacing go by in both forms.
  uint64_t seq_ = 0, scheduled_ = 0, lines_ = 0, bytes_ = 0, written_ = 0;
  std::array<uint64_t, kTags> count_{};
  int64_t second_ = -1;
  std::string stamp_, rfcStamp_, first_, buffer_;
  bool done_ = false, failed_ = false;
};

struct Domain {
  std::string name, mx, ip;
  bool local;
};

struct Mailbox {
  std::string address;
  int domain;
};

enum class Origin { Smtpd, Submission, FilterSmtpd, Pickup, Bounce };
enum class Route { Final, FilterSmtp, FilterPipe };
enum class Outcome { Sent, Deferred, Bounced };

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

// The mail traffic of one server: a population of mailboxes and the activities that write lines.
class Traffic {
 public:
  Traffic(const Options& options, Emitter& log) : options_(options), log_(log), rng_(options.seed) {
    fqdn_ = cat(options.host, '.', kLocalDomains[0]);
    for (auto name : kLocalDomains) addDomain(std::string(name), true);
    for (auto name : kProviders) addDomain(std::string(name), false);
    std::set<std::string> seen;
    while (domains_.size() < static_cast<std::size_t>(kRecipients / 15)) {
      auto first = rng_.pick(kWords);
      auto second = rng_.pick(kWords);
      std::string name = cat(first, second, rng_.between(1, 99), ".test");
      if (seen.insert(name).second) addDomain(std::move(name), false);
    }
    // Local mailboxes first, then external ones whose domains are themselves Zipf-popular.
    ZipfPicker externalDomain(rng_, domains_.size() - kLocalDomains.size(), false);
    while (mailboxes_.size() < static_cast<std::size_t>(kRecipients)) {
      bool local = mailboxes_.size() < static_cast<std::size_t>(kLocals);
      int domain = local ? static_cast<int>(rng_.below(kLocalDomains.size()))
                         : static_cast<int>(kLocalDomains.size()) + externalDomain(rng_);
      std::string address = cat(localPart(), '@', domains_[static_cast<std::size_t>(domain)].name);
      if (seen.insert(address).second) mailboxes_.push_back({std::move(address), domain});
    }
    localRcpt_ = ZipfPicker(rng_, kLocals);
    externalRcpt_ = ZipfPicker(rng_, kRecipients - kLocals);
    // Senders are the first mailboxes of each kind, each picked with its own popularity.
    localSender_ = ZipfPicker(rng_, kSenders / 3);
    externalSender_ = ZipfPicker(rng_, kSenders - kSenders / 3);
  }

  // Paces arrivals so that the target size spans the period: the time left is shared out over
  // what is left to write, by the average size of the activities scheduled so far. Lines still
  // waiting count as left and the aim is a little short of the end, so that the log does not
  // run past its last day.
  void run() {
    Civil start = parseStart();
    int64_t t = daysFromCivil(start.year, start.month, start.day) * kDay;
    const int64_t end = t + options_.spanMs - options_.spanMs / 1000;
    const uint64_t target = options_.lines != 0 ? options_.lines : options_.bytes;
    for (uint64_t acts = 0; !log_.done(); ++acts) {
      uint64_t average = acts != 0 ? log_.scheduled() / acts : (options_.lines != 0 ? 7 : 900);
      auto left = static_cast<uint64_t>(std::max<int64_t>(end - t, 0));
      uint64_t mean = std::max(left * average / (target - log_.written()),
                               static_cast<uint64_t>(options_.spanMs) * average / target / 8);
      t += rng_.between(0, 2 * static_cast<int64_t>(mean));
      log_.flushUntil(t);
      if (log_.done()) break;
      if (rng_.percent(35)) {
        noise(t);
        continue;
      }
      bool outgoing = rng_.percent(35);
      const Mailbox& sender =
          outgoing ? local(localSender_(rng_)) : external(externalSender_(rng_));
      int wanted = recipientCount();
      std::vector<const Mailbox*> rcpts;
      for (int i = 0; i < wanted; ++i) {
        // Outgoing mail goes mostly out, incoming mail only to local mailboxes.
        const Mailbox* r = outgoing && rng_.percent(80) ? &external(externalRcpt_(rng_))
                                                        : &local(localRcpt_(rng_));
        if (std::find(rcpts.begin(), rcpts.end(), r) == rcpts.end()) rcpts.push_back(r);
      }
      std::string msgid;
      putHex(msgid, rng_.next(), 10, false);
      put(msgid, '.', lower(queueId()), '@', domainOf(sender).name);
      Route route = !rng_.percent(25)  ? Route::Final
                    : rng_.percent(67) ? Route::FilterSmtp
                                       : Route::FilterPipe;
      message(t, &sender, rcpts, outgoing ? Origin::Submission : Origin::Smtpd, messageSize(),
              msgid, route);
    }
    log_.flushUntil(INT64_MAX);
  }

 private:
  static constexpr int kLocals = kRecipients / 8;
  static constexpr std::string_view kQmgr = "postfix/qmgr[1187]: ";
  static constexpr std::array<std::string_view, 4> kClientNames = {"mail", "smtp", "out",
                                                                   "unknown"};

  void addDomain(std::string name, bool local) {
    std::string mx = cat("mx", rng_.between(1, 3), '.', name);
    domains_.push_back({std::move(name), std::move(mx), ip(), local});
  }

  std::string localPart() {
    auto first = rng_.pick(kFirst);
    auto last = rng_.pick(kLast);
    std::string part;
    switch (rng_.weighted(std::array{45, 20, 27, 8})) {
      case 0:
        put(part, first, '.', last);
        break;
      case 1:
        put(part, first[0], last);
        break;
      case 2:
        put(part, first, rng_.between(1, 9999));
        break;
      default:
        put(part, rng_.pick(kRoles));
        break;
    }
    // A few addresses are written in mixed case, as people type them; the import folds case.
    if (rng_.percent(2)) {
      part[0] = static_cast<char>(part[0] - 32);
      std::size_t dot = part.find('.');
      if (dot != std::string::npos && dot + 1 < part.size())
        part[dot + 1] = static_cast<char>(part[dot + 1] - 32);
    }
    return part;
  }

  const Mailbox& local(int i) const { return mailboxes_[static_cast<std::size_t>(i)]; }
  const Mailbox& external(int i) const { return mailboxes_[static_cast<std::size_t>(kLocals + i)]; }
  const Domain& domainOf(const Mailbox& m) const {
    return domains_[static_cast<std::size_t>(m.domain)];
  }

  std::string ip() {
    auto net = rng_.pick(kTestNets);
    return cat(net, rng_.between(1, 254));
  }

  // A short Postfix queue identifier: 10 to 12 upper-case hex digits.
  std::string queueId() {
    std::string id;
    auto digits = static_cast<int>(rng_.between(10, 12));
    putHex(id, rng_.next(), digits, true);
    return id;
  }

  std::string process(std::string_view name, int64_t base, int64_t spread) {
    return cat(name, '[', base + rng_.between(0, spread - 1), "]: ");
  }

  int recipientCount() {
    switch (rng_.weighted(std::array{80, 10, 5, 5})) {
      case 0:
        return 1;
      case 1:
        return 2;
      case 2:
        return 3;
      default:
        return static_cast<int>(rng_.between(4, 25));
    }
  }

  // Sizes spread over powers of two from 512 bytes to 32 MiB, most between 2 and 64 KiB.
  int64_t messageSize() {
    std::size_t k =
        rng_.weighted(std::array{40, 80, 120, 160, 160, 130, 100, 80, 50, 30, 20, 15, 10, 5, 3, 2});
    int64_t base = int64_t{512} << k;
    return base + rng_.between(0, base - 1);
  }

  // One message: received, queued, delivered (deferred mail retried), the sender notified of
  // failures, removed, and re-injected when it went to the content filter. A null "sender" is
  // the empty sender of a bounce notice.
  void message(int64_t t, const Mailbox* sender, const std::vector<const Mailbox*>& rcpts,
               Origin origin, int64_t size, const std::string& msgid, Route route) {
    const int64_t t0 = t;
    const std::string q = queueId();
    std::string_view from = sender != nullptr ? std::string_view(sender->address) : "";
    std::string daemon, client;
    bool viaSmtpd =
        origin == Origin::Smtpd || origin == Origin::Submission || origin == Origin::FilterSmtpd;
    if (viaSmtpd) {
      daemon = process(origin == Origin::Submission ? "postfix/submission/smtpd" : "postfix/smtpd",
                       20000, 9000);
      if (origin == Origin::FilterSmtpd) {
        client = "localhost[127.0.0.1]";
      } else {
        const Domain& d = domainOf(*sender);
        client = cat(rng_.pick(kClientNames), '.', d.name, '[', d.ip, ']');
      }
      log_.at(t, Tag::Other, cat(daemon, "connect from ", client));
      t += rng_.between(50, 800);
      std::string line = cat(daemon, q, ": client=", client);
      if (origin == Origin::Submission) put(line, ", sasl_method=PLAIN, sasl_username=", from);
      log_.at(t, Tag::Other, std::move(line));
    } else if (origin == Origin::Pickup) {
      log_.at(t, Tag::Other, cat("postfix/pickup[1190]: ", q, ": uid=110 from=<", from, '>'));
    }
    t += rng_.between(10, 300);
    log_.at(t, Tag::Other,
            cat(process("postfix/cleanup", 30000, 400), q, ": message-id=<", msgid, '>'));
    if (origin == Origin::Submission) {
      log_.at(t + 20, Tag::NonPostfix,
              cat("opendkim[812]: ", q,
                  ": DKIM-Signature field added (s=mail, d=", domainOf(*sender).name, ')'));
    }
    t += rng_.between(10, 200);
    const std::string active = cat(kQmgr, q, ": from=<", from, ">, size=", size,
                                   ", nrcpt=", rcpts.size(), " (queue active)");
    log_.at(t, Tag::From, active);
    if (viaSmtpd) {
      log_.at(t + rng_.between(10, 200), Tag::Other,
              cat(daemon, "disconnect from ", client, " ehlo=1 mail=1 rcpt=", rcpts.size(),
                  " data=1 quit=1 commands=", rcpts.size() + 4));
    }

    // The filter answers with the queue id under which the message comes back.
    const std::string hop = route == Route::Final ? std::string() : queueId();
    std::vector<const Mailbox*> pending = rcpts;
    bool bounced = false;
    for (int round = 0; !pending.empty() && round < kMaxRounds; ++round) {
      if (round > 0) {  // deferred mail comes back to the active queue: qmgr logs from= again
        t += rng_.between(5 * kMinute, 16 * kMinute) << (round - 1);
        log_.at(t, Tag::FromRetry, active);
      }
      std::vector<const Mailbox*> left;
      for (const Mailbox* r : pending) {
        t += rng_.between(20, 600);
        Outcome outcome = deliver(t, t0, q, *r, route, round > 0, hop);
        if (outcome == Outcome::Deferred) left.push_back(r);
        bounced = bounced || outcome == Outcome::Bounced;
      }
      pending = std::move(left);
    }
    if (!pending.empty()) {
      t += 60 * kMinute;
      log_.at(t, Tag::Expired,
              cat(kQmgr, q, ": from=<", from, ">, status=expired, returned to sender"));
      bounced = true;
    }
    if (bounced && sender != nullptr) {
      std::string notice = queueId();
      log_.at(t + 50, Tag::Other,
              cat(process("postfix/bounce", 40000, 400), q,
                  ": sender non-delivery notification: ", notice));
      Civil day = civilFromDays(t / kDay);
      int64_t s = t / kSecond % 86400;
      std::string id = cat(day.year, day.month / 10, day.month % 10, day.day / 10, day.day % 10,
                           s / 36000, s / 3600 % 10, s / 600 % 6, s / 60 % 10, s % 60 / 10, s % 10,
                           '.', notice, '@', fqdn_);
      message(t + 100, nullptr, {sender}, Origin::Bounce, rng_.between(2500, 6000), id,
              Route::Final);
    }
    log_.at(t + 200, Tag::Other, cat(kQmgr, q, ": removed"));
    if (route != Route::Final) {
      int64_t back = t + rng_.between(200, 2000);
      int64_t scanned = size + rng_.between(150, 600);  // the filter adds its headers
      message(back, sender, rcpts,
              route == Route::FilterSmtp ? Origin::FilterSmtpd : Origin::Pickup, scanned, msgid,
              Route::Final);
    }
  }

  Outcome deliver(int64_t t, int64_t t0, const std::string& q, const Mailbox& r, Route route,
                  bool retry, const std::string& hop) {
    const Domain& domain = domainOf(r);
    int64_t d = std::max<int64_t>(t - t0, 50);
    std::string_view agent = "smtp", dsn = "2.0.0";
    std::string relay, text, to = cat("to=<", r.address, '>');
    Outcome outcome = Outcome::Sent;
    Tag tag = Tag::Smtp;
    if (route == Route::FilterSmtp) {
      relay = "clamav[127.0.0.1]:10025";
      text = cat("250 2.0.0 Ok: queued as ", hop);
      tag = Tag::Hop;
    } else if (route == Route::FilterPipe) {
      agent = "pipe", relay = "clamav", text = "delivered via clamav service";
      tag = Tag::Hop;
    } else if (domain.local) {
      switch (rng_.weighted(std::array{70, 20, 10})) {
        case 0:
          agent = "pipe", relay = "dovecot", text = "delivered via dovecot service";
          tag = Tag::Pipe;
          break;
        case 1:
          agent = "local", relay = "local", text = "delivered to mailbox";
          tag = Tag::Local;
          if (rng_.percent(40)) {  // an alias, expanded to a mailbox of this host
            to = cat("to=<", lower(r.address.substr(0, r.address.find('@'))), '@', fqdn_,
                     ">, orig_to=<", r.address, '>');
          }
          break;
        default:
          agent = "lmtp", relay = cat(fqdn_, "[private/dovecot-lmtp]");
          text = cat("250 2.0.0 <", r.address, "> ");
          putHex(text, rng_.next(), 16, false);
          text += " Saved";
          tag = Tag::Lmtp;
          break;
      }
      if (rng_.below(1000) < 10) {
        dsn = "5.1.1", text = cat("user unknown. Command output: Unknown user ", r.address);
        outcome = Outcome::Bounced;
      }
    } else {
      relay = cat(domain.mx, '[', domain.ip, "]:25");
      std::string said = cat("host ", domain.mx, '[', domain.ip, "] said: ");
      // Retries fail more often: the mail that was deferred once is the mail that has trouble.
      auto x = static_cast<int>(rng_.below(1000));
      if (x < (retry ? 250 : 60)) {
        outcome = Outcome::Deferred;
        switch (rng_.below(3)) {
          case 0:
            text = cat("connect to ", relay, ": Connection timed out");
            // smtp also logs the failed connection on a line of its own, without a queue id
            log_.at(t - 1, Tag::Other, cat(process("postfix/smtp", 50000, 400), text));
            relay = "none", dsn = "4.4.1";
            break;
          case 1:
            dsn = "4.7.1";
            text = cat(said, "451 4.7.1 Greylisted, please try again later ",
                       "(in reply to RCPT TO command)");
            break;
          default:
            dsn = "4.7.0";
            text = cat(said, "421 4.7.0 Too many connections, try again later ",
                       "(in reply to MAIL FROM command)");
            break;
        }
      } else if (x < (retry ? 280 : 85)) {
        outcome = Outcome::Bounced;
        switch (rng_.below(3)) {
          case 0:
            dsn = "5.1.1";
            text = cat(said, "550 5.1.1 <", r.address, ">: Recipient address rejected: User ",
                       "unknown in virtual mailbox table (in reply to RCPT TO command)");
            break;
          case 1:
            dsn = "5.2.2";
            text = cat(said, "552 5.2.2 Mailbox full (in reply to RCPT TO command)");
            break;
          default:
            dsn = "5.7.1";
            text = cat(said, "550 5.7.1 Message rejected as spam (in reply to end of DATA ",
                       "command)");
            break;
        }
      } else {
        switch (rng_.below(4)) {
          case 0:
            text = cat("250 2.0.0 Ok: queued as ", queueId());
            break;
          case 1:
            text = "250 2.0.0 OK id=";
            putHex(text, rng_.next(), 12, false);
            break;
          case 2:
            text = cat("250 2.6.0 <", q, '@', fqdn_, "> Queued mail for delivery");
            break;
          default:
            text = "250 Requested mail action okay, completed";
            break;
        }
      }
    }
    if (outcome == Outcome::Deferred) tag = Tag::Deferred;
    if (outcome == Outcome::Bounced) tag = Tag::Bounced;
    std::string line = process(cat("postfix/", agent), 50000, 400);
    put(line, q, ": ", to, ", relay=", relay, ", delay=");
    putDelay(line, d);
    line += ", delays=";
    putDelay(line, d / 10);
    line += '/';
    putDelay(line, rng_.between(0, 20));
    line += '/';
    putDelay(line, rng_.between(0, 300));
    line += '/';
    putDelay(line, d * 3 / 10);
    std::string_view status = outcome == Outcome::Sent       ? "sent"
                              : outcome == Outcome::Deferred ? "deferred"
                                                             : "bounced";
    put(line, ", dsn=", dsn, ", status=", status, " (", text, ')');
    log_.at(t, tag, std::move(line));
    return outcome;
  }

  // Lines that are no mail traffic: IMAP logins, cron, rejected clients, password guessing.
  void noise(int64_t t) {
    std::string user = lower(local(localRcpt_(rng_)).address);
    std::string peer = ip();
    switch (rng_.weighted(std::array{60, 12, 20, 5, 3})) {
      case 0: {
        std::string session;
        putHex(session, rng_.next(), 16, false);
        int64_t pid = rng_.between(3000, 62999);
        log_.at(t, Tag::NonPostfix,
                cat("dovecot: imap-login: Login: user=<", user, ">, method=PLAIN, rip=", peer,
                    ", lip=192.0.2.10, mpid=", pid, ", TLS, session=<", session, '>'));
        int64_t until = t + rng_.between(1 * kSecond, 900 * kSecond);
        int64_t in = rng_.between(50, 9000);
        int64_t out = rng_.between(300, 900000);
        log_.at(until, Tag::NonPostfix,
                cat("dovecot: imap(", user, ")<", pid, "><", session, ">: Logged out in=", in,
                    ", out=", out));
        break;
      }
      case 1:
        log_.at(t, Tag::NonPostfix,
                cat(process("CRON", 10000, 50000),
                    "(root) CMD (command -v debian-sa1 > /dev/null && debian-sa1 1 1)"));
        break;
      case 2: {  // a rejected client: its line has from=<...> and to=<...> but no queue id
        std::string smtpd = process("postfix/smtpd", 20000, 9000);
        std::string host = cat("unknown[", peer, ']');
        const std::string& from = external(externalSender_(rng_)).address;
        log_.at(t, Tag::Other, cat(smtpd, "connect from ", host));
        std::string reject = cat(smtpd, "NOQUEUE: reject: RCPT from ", host, ": ");
        if (rng_.percent(60)) {
          put(reject, "554 5.7.1 Service unavailable; Client host [", peer,
              "] blocked using zen.dnsbl.test;");
        } else {
          put(reject, "550 5.1.1 <", user,
              ">: Recipient address rejected: User unknown in virtual mailbox table;");
        }
        put(reject, " from=<", from, "> to=<", user, "> proto=ESMTP helo=<", peer, '>');
        log_.at(t + 400, Tag::Reject, std::move(reject));
        log_.at(
            t + 900, Tag::Other,
            cat(smtpd, "disconnect from ", host, " ehlo=1 mail=1 rcpt=0/1 quit=1 commands=3/4"));
        break;
      }
      case 3: {  // a password guess on the submission port
        std::string smtpd = process("postfix/submission/smtpd", 20000, 9000);
        std::string host = cat("unknown[", peer, ']');
        log_.at(t, Tag::Other, cat(smtpd, "connect from ", host));
        log_.at(t + 2 * kSecond, Tag::Other,
                cat(smtpd, "warning: ", host, ": SASL LOGIN authentication failed: UGFzc3dvcmQ6"));
        log_.at(t + 2 * kSecond + 300, Tag::Other,
                cat(smtpd, "lost connection after AUTH from ", host));
        log_.at(t + 2 * kSecond + 310, Tag::Other,
                cat(smtpd, "disconnect from ", host, " ehlo=1 auth=0/1 commands=1/2"));
        break;
      }
      default:
        log_.at(t, Tag::NonPostfix,
                cat("systemd[1]: Started session-", rng_.between(100, 99999),
                    ".scope - Session of User root."));
        break;
    }
  }

  Civil parseStart() const {
    const std::string& text = options_.start;
    if (text.size() >= 5 && text[3] == ' ') {
      int day = std::atoi(text.c_str() + 4);
      for (int m = 0; m < 12; ++m) {
        if (lower(text.substr(0, 3)) != lower(std::string(kMonths[static_cast<std::size_t>(m)])))
          continue;
        Civil back = civilFromDays(daysFromCivil(options_.year, m + 1, day));
        if (day >= 1 && back.month == m + 1 && back.day == day) return {options_.year, m + 1, day};
      }
    }
    std::fprintf(stderr, "gen_log: --start wants \"Mon DD\", a day of %lld: '%s'\n",
                 static_cast<long long>(options_.year), text.c_str());
    std::exit(2);
  }

  const Options& options_;
  Emitter& log_;
  Rng rng_;
  std::string fqdn_;
  std::vector<Domain> domains_;
  std::vector<Mailbox> mailboxes_;  // kLocals local mailboxes, then the external ones
  ZipfPicker localRcpt_, externalRcpt_, localSender_, externalSender_;
};

constexpr const char* kUsage =
    "usage: gen_log (--mb N | --lines N) [-o FILE] [--seed S] [--start \"Mon DD\"] [--days D]\n"
    "               [--year YYYY] [--host NAME] [--rfc3339]\n"
    "Writes a synthetic Postfix mail log; the same options give the same bytes.\n"
    "Defaults: -o - (standard output), --seed 1, --start \"Jan 30\", --days 3, --year 2023\n"
    "(never printed), --host mail.\n"
    "--rfc3339 writes the same lines with RFC 3339 stamps (2023-01-30T00:00:01.000123+01:00);\n"
    "--mb then counts the bytes of the classic form.\n";

[[noreturn]] void usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "gen_log: %s\n", problem);
  std::fputs(kUsage, stderr);
  std::exit(2);
}

double number(const char* text, const char* option) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0)) {
    std::fprintf(stderr, "gen_log: %s wants a positive number: '%s'\n", option, text);
    std::exit(2);
  }
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg == "--rfc3339") {
      options.rfc3339 = true;
      continue;
    }
    if (i + 1 >= argc) usage(("missing value after " + std::string(arg)).c_str());
    const char* value = argv[++i];
    if (arg == "--mb") {
      options.bytes = static_cast<uint64_t>(number(value, "--mb") * 1048576.0 + 0.5);
    } else if (arg == "--lines") {
      options.lines = static_cast<uint64_t>(number(value, "--lines"));
    } else if (arg == "--seed") {
      options.seed = std::strtoull(value, nullptr, 10);
    } else if (arg == "--start") {
      options.start = value;
    } else if (arg == "--days") {
      options.spanMs = static_cast<int64_t>(number(value, "--days") * static_cast<double>(kDay));
    } else if (arg == "--year") {
      options.year = static_cast<int64_t>(number(value, "--year"));
      if (options.year < 1970 || options.year > 9999) usage("--year wants 1970 to 9999");
    } else if (arg == "--host") {
      options.host = value;
    } else if (arg == "-o" || arg == "--output") {
      options.output = value;
    } else {
      usage(("unknown option " + std::string(arg)).c_str());
    }
  }
  if ((options.lines == 0) == (options.bytes == 0)) usage("give one of --mb and --lines");
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parseOptions(argc, argv);
  bool toStdout = options.output == "-";
  std::FILE* out = toStdout ? stdout : std::fopen(options.output.c_str(), "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "gen_log: cannot create %s: %s\n", options.output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  Emitter log(out, options);
  Traffic(options, log).run();
  if (log.failed() || std::fflush(out) != 0 || (!toStdout && std::fclose(out) != 0)) {
    std::fprintf(stderr, "gen_log: cannot write %s: %s\n", options.output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  log.summary(stderr);
  return 0;
}
