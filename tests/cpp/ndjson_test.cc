#include "src/ndjson.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "src/utf8.h"
#include "src/xxh64.h"

namespace rs::ndjson {
namespace {

namespace fs = std::filesystem;

StopCheck never() {
  return [] { return false; };
}

TEST(SeenRecords, MatchesASetEvenWhenHashesCollide) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int bits : {2, 64}) {
    SeenRecords seen;
    std::set<std::string> model;
    for (int n = 0; n < 20000; ++n) {
      std::string record(rng() % 6, 'a');
      for (char& c : record) c = static_cast<char>('a' + rng() % 3);
      // Few hash bits: many different records share a hash and must all be kept.
      uint64_t hash = xxh64_hash(record);
      if (bits < 64) hash &= (uint64_t{1} << bits) - 1;
      ASSERT_EQ(seen.record_if_new(record, hash), model.insert(record).second) << record;
    }
    EXPECT_EQ(seen.size(), model.size());
  }
}

TEST(SeenRecords, GrowsPastManyDistinctRecords) {
  SeenRecords seen;
  // An empty record first, before the arena has a chunk.
  EXPECT_TRUE(seen.record_if_new(""));
  EXPECT_FALSE(seen.record_if_new(""));
  for (int i = 0; i < 300000; ++i) ASSERT_TRUE(seen.record_if_new(std::to_string(i)));
  for (int i = 0; i < 300000; i += 7) ASSERT_FALSE(seen.record_if_new(std::to_string(i)));
  // Records longer than an arena chunk are kept whole.
  std::string big(5 << 20, 'x');
  EXPECT_TRUE(seen.record_if_new(big));
  EXPECT_FALSE(seen.record_if_new(big));
  EXPECT_EQ(seen.size(), 300002u);
}

std::string finalized(std::string_view text, bool is_edges) {
  json::Arena arena;
  json::Parser parser;
  EdgeIdMaker ids(kDefaultDomain);
  auto v = parser.parse(text, &arena);
  EXPECT_TRUE(v.ok());
  auto r = finalize_record(v.value(), is_edges, &ids, &arena);
  if (!r.ok()) return "error: " + r.error();
  if (!r.value().has_value()) return "dropped";
  return json::stable_json_bytes(*r.value());
}

TEST(FinalizeRecord, CleansAndSetsEdgeIds) {
  const std::string sxoy =
      uuid_from_parts(kDefaultDomain, std::vector<std::string>{"o", "y", "s", "x"});
  EXPECT_EQ(finalized(R"({"s":"x","o":"y","n":null})", true),
            R"({"s":"x","o":"y","id":")" + sxoy + "\"}");
  // An old id takes part in the new one and keeps its position.
  const std::string with_old = uuid_from_parts(
      kDefaultDomain, std::vector<std::string>{"id", "old", "o", "y", "s", "x"});
  EXPECT_EQ(finalized(R"({"id":"old","s":"x","o":"y"})", true),
            R"({"id":")" + with_old + R"(","s":"x","o":"y"})");
  EXPECT_EQ(finalized(R"({"id":"","s":"x","o":"y"})", true),
            R"({"s":"x","o":"y","id":")" + sxoy + "\"}");
  EXPECT_EQ(finalized(R"({"a":null})", true), "dropped");
  EXPECT_EQ(finalized("{}", false), "dropped");
  EXPECT_EQ(finalized("[1,null]", false), "[1,null]");
  EXPECT_EQ(finalized("[1,null]", true), "error: expected JSON object");
  EXPECT_EQ(finalized("null", true), "error: expected JSON object");
}

// A random JSON text: objects with repeated keys and old ids, null-like
// strings, empty and nested containers, escapes and every number form.
std::string random_json(std::mt19937_64& rng, int depth, bool object = false) {
  static const char* const kKeys[] = {"id", "s", "o", "p", "subject", "subjects", "a\\\"b",
                                      "\\u00e9", "\xC3\xA9t\xC3\xA9", "", "k\\n"};
  static const char* const kStrings[] = {
      "x", "", "  ", "null", "NULL", " NA ", "None", "nan", "na", "n", "nonee", "\\u00a0na",
      "\xE3\x80\x80None", "MONDO:0001", "q\\\"uote", "tab\\t", "\\u0001", "\\ud83d\\ude00",
      "\xC3\xA9", "\\/"};
  static const char* const kNumbers[] = {"0", "-0", "1", "-1", "18446744073709551615",
                                         "18446744073709551616", "-9223372036854775808",
                                         "0.5", "1e2", "1E-7", "-2.50", "123456789.125", "1e300",
                                         "5e-324", "0.1"};
  const auto pick = [&](auto& table) { return std::string(table[rng() % std::size(table)]); };
  switch (object ? 6 : depth > 2 ? rng() % 5 : rng() % 7) {
    case 0: return "null";
    case 1: return rng() % 2 ? "true" : "false";
    case 2: return pick(kNumbers);
    case 3:
    case 4: return "\"" + pick(kStrings) + "\"";
    case 5: {
      std::string out = "[";
      for (int n = static_cast<int>(rng() % 4), i = 0; i < n; ++i) {
        out += (i > 0 ? "," : "") + random_json(rng, depth + 1);
      }
      return out + "]";
    }
    default: {
      std::string out = "{";
      for (int n = static_cast<int>(rng() % 6), i = 0; i < n; ++i) {
        out += (i > 0 ? ", " : " ") + ("\"" + pick(kKeys) + "\": ") + random_json(rng, depth + 1);
      }
      return out + "}";
    }
  }
}

// The one-walk writer of dedup_ndjson against the record steps it replaces.
TEST(RecordWriter, MatchesFinalizeAndWriteCompactOnRandomRecords) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  json::Arena arena;
  json::Parser parser;
  EdgeIdMaker ids(kDefaultDomain);
  RecordWriter writer(kDefaultDomain);
  ByteBuffer out(16);
  for (int n = 0; n < 20000; ++n) {
    // Mostly objects, as in a real file.
    const std::string text = random_json(rng, 0, rng() % 8 != 0);
    arena.reset();
    auto v = parser.parse(text, &arena);
    ASSERT_TRUE(v.ok()) << text << ": " << v.error().display();
    const bool plain = text.find('\\') == std::string::npos;
    for (bool is_edges : {false, true}) {
      SCOPED_TRACE(text + (is_edges ? " (edge)" : " (node)"));
      auto want = finalize_record(v.value(), is_edges, &ids, &arena);
      // Something before the record, as in the output buffer.
      out.clear();
      out.append("prev\n", 5);
      const auto outcome = writer.write(v.value(), is_edges, plain, &out);
      if (!want.ok()) {
        EXPECT_EQ(outcome, RecordWriter::Outcome::kNotObject);
        EXPECT_EQ(out.view(), "prev\n");
      } else if (!want.value().has_value()) {
        EXPECT_EQ(outcome, RecordWriter::Outcome::kDropped);
        EXPECT_EQ(out.view(), "prev\n");
      } else {
        EXPECT_EQ(outcome, RecordWriter::Outcome::kWritten);
        EXPECT_EQ(out.view(), "prev\n" + json::stable_json_bytes(*want.value()));
      }
    }
  }
}

class DedupFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ndjson_test_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  static void write(const std::string& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
};

// The model: the whole file split in memory, each line through the same
// record steps, a std::set for the duplicates.
std::string model_output(const std::string& content, bool is_edges) {
  std::string out;
  std::set<std::string> seen;
  json::Arena arena;
  json::Parser parser;
  EdgeIdMaker ids(kDefaultDomain);
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    std::string line = content.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (nl != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    pos = nl == std::string::npos ? content.size() : nl + 1;
    if (utf8::is_blank(line)) continue;
    arena.reset();
    auto v = parser.parse(line, &arena);
    if (!v.ok()) return "unexpected parse error";
    auto r = finalize_record(v.value(), is_edges, &ids, &arena);
    if (!r.ok() || !r.value().has_value()) continue;
    std::string bytes = json::stable_json_bytes(*r.value());
    if (seen.insert(bytes).second) out += bytes + "\n";
  }
  return out;
}

// Random files of short and very long lines (longer than the read buffer),
// duplicates, blank lines, CRLF and a missing final LF.
TEST_F(DedupFiles, OutputMatchesAModelAcrossBufferBoundaries) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 6; ++round) {
    std::vector<std::string> pool;
    for (int i = 0; i < 50; ++i) {
      // Two records longer than the 1 MiB read buffer.
      std::string filler(i < 2 ? (1 << 20) + rng() % (1 << 20) : rng() % 300, 'f');
      pool.push_back("{\"s\":\"n" + std::to_string(i % 20) + "\", \"o\": " + std::to_string(i % 7) +
                     ", \"x\": null, \"pad\": \"" + filler + "\"}");
    }
    pool.push_back("   ");
    pool.push_back("");
    pool.push_back("{\"x\": \" NA \"}");
    std::string content;
    const int lines = 5000 + static_cast<int>(rng() % 5000);
    for (int i = 0; i < lines; ++i) {
      // The long records come a few times per file, the rest are short.
      size_t pick = rng() % 1000 == 0 ? rng() % 2 : 2 + rng() % (pool.size() - 2);
      content += pool[pick];
      content += rng() % 5 == 0 ? "\r\n" : "\n";
    }
    if (round % 2 == 0) content += pool[2 + rng() % 48];  // no final LF
    const bool is_edges = round % 3 == 0;
    write(path("in"), content);
    auto r = dedup_ndjson(path("in"), path("out"), is_edges, kDefaultDomain, never());
    ASSERT_TRUE(r.ok()) << r.error().text;
    const std::string want = model_output(content, is_edges);
    const std::string got = read(path("out"));
    ASSERT_EQ(got.size(), want.size());
    ASSERT_TRUE(got == want);
  }
}

TEST_F(DedupFiles, AFailedLineLeavesTheRecordsBeforeIt) {
  write(path("in"), "{\"a\":1}\n{\"a\":1}\n{\"b\":2}\n{\"c\":\n{\"d\":4}\n");
  auto r = dedup_ndjson(path("in"), path("out"), false, kDefaultDomain, never());
  ASSERT_FALSE(r.ok());
  EXPECT_FALSE(r.error().stopped);
  EXPECT_EQ(r.error().text, "EOF while parsing a value at line 1 column 5");
  EXPECT_EQ(read(path("out")), "{\"a\":1}\n{\"b\":2}\n");
}

size_t open_fds() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"),
                                           fs::directory_iterator()));
}

// At least `bytes` of records, a third of them duplicates.
std::string records_of(size_t bytes) {
  std::string content;
  for (int i = 0; content.size() < bytes; ++i) {
    const int n = i % 3 == 0 ? i / 2 : i;
    content += "{\"s\":\"X:" + std::to_string(n) + "\",\"o\":null,\"pad\":\"" +
               std::string(n % 50, 'p') + "\"}\n";
  }
  return content;
}

// The check says stop at its k-th ask, for every k up to the asks of a whole
// run (once per megabyte read, and at the end). The call stops there without
// asking again, closes both files, and leaves the records of the lines read
// before: a prefix of the whole output, of complete records, and the whole
// output when it stops at the last ask (the last record too).
TEST_F(DedupFiles, AStopAtAnyAskLeavesTheRecordsAcceptedBeforeIt) {
  const std::string content = records_of(size_t{5} << 20);
  write(path("in"), content);
  int asks = 0;
  ASSERT_TRUE(dedup_ndjson(path("in"), path("out"), true, kDefaultDomain, [&] {
                ++asks;
                return false;
              }).ok());
  const std::string whole = read(path("out"));
  ASSERT_EQ(whole, model_output(content, true));
  EXPECT_GE(asks, 5);
  EXPECT_LE(asks, 8) << "asked more often than once per buffer";

  const size_t fds = open_fds();
  size_t last = 0;
  for (int k = 1; k <= asks; ++k) {
    SCOPED_TRACE(k);
    int asked = 0;
    auto r = dedup_ndjson(path("in"), path("out"), true, kDefaultDomain,
                          [&] { return ++asked == k; });
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().stopped);
    EXPECT_EQ(asked, k) << "asked again after it said stop";
    EXPECT_EQ(open_fds(), fds);
    const std::string got = read(path("out"));
    EXPECT_TRUE(whole.starts_with(got));
    EXPECT_TRUE(got.empty() || got.back() == '\n');
    EXPECT_GE(got.size(), last);
    last = got.size();
    if (k == 1) {
      EXPECT_EQ(got, "");
    }
    if (k == asks) {
      EXPECT_EQ(got, whole);
    }
  }
}

// Reads a FIFO to its end on a thread of its own. It is open for reading
// before the writer comes, so the writer's open does not wait.
class FifoReader {
 public:
  explicit FifoReader(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), thread_([this] {
          // Until the writer comes the FIFO reads as ended; poll() waits for
          // its bytes or its hang-up.
          pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
          if (::poll(&p, 1, 60000) != 1) return;
          ::fcntl(fd_, F_SETFL, 0);
          char buf[1 << 16];
          ssize_t n;
          while ((n = ::read(fd_, buf, sizeof buf)) > 0) got_.append(buf, static_cast<size_t>(n));
        }) {
    EXPECT_GE(fd_, 0);
  }
  ~FifoReader() { ::close(fd_); }
  FifoReader(const FifoReader&) = delete;
  FifoReader& operator=(const FifoReader&) = delete;

  std::string join() {
    thread_.join();
    return got_;
  }

 private:
  const int fd_;
  std::string got_;
  std::thread thread_;
};

// The complete lines of `content` within its first `bytes`.
std::string lines_within(const std::string& content, size_t bytes) {
  return content.substr(0, content.rfind('\n', bytes) + 1);
}

// A FIFO as output: the records accepted before a failure reach its reader
// (the write-out waits for it), and so do those accepted before a stop (what
// the pipe takes at once: less than it holds here).
TEST_F(DedupFiles, APipeOutputGetsTheRecordsAcceptedBeforeAFailureOrAStop) {
  const std::string records = lines_within(records_of(40000), 40000);
  const std::string head = lines_within(records, 30000);
  ASSERT_EQ(::mkfifo(path("out").c_str(), 0600), 0);
  {
    write(path("in"), records + "{\"bad\":\n" + records);
    FifoReader reader(path("out"));
    auto r = dedup_ndjson(path("in"), path("out"), false, kDefaultDomain, never());
    const std::string got = reader.join();
    ASSERT_FALSE(r.ok());
    EXPECT_FALSE(r.error().stopped);
    EXPECT_EQ(r.error().text, "EOF while parsing a value at line 1 column 7");
    EXPECT_EQ(got, model_output(records, false));
  }
  {
    // Stopped at the second read, which would find the end: every record is
    // accepted.
    write(path("in"), head);
    FifoReader reader(path("out"));
    int asked = 0;
    auto r = dedup_ndjson(path("in"), path("out"), false, kDefaultDomain,
                          [&] { return ++asked == 2; });
    const std::string got = reader.join();
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().stopped);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(got, model_output(head, false));
  }
}

// A failure with a FIFO output whose reader takes nothing: the write-out of
// the accepted records waits for it, asking the check, and a stop then ends
// the call as stopped rather than hanging or reporting the failure.
TEST_F(DedupFiles, TheWriteOutAfterAFailureGivesWayToAStop) {
  const std::string records = lines_within(records_of(300000), 300000);
  write(path("in"), records + "{\"bad\":\n");
  ASSERT_EQ(::mkfifo(path("out").c_str(), 0600), 0);
  const int idle = ::open(path("out").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(idle, 0);
  int asked = 0;
  auto r = dedup_ndjson(path("in"), path("out"), false, kDefaultDomain,
                        [&] { return ++asked == 10; });
  ::close(idle);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().stopped);
  EXPECT_EQ(asked, 10);
}

}  // namespace
}  // namespace rs::ndjson
