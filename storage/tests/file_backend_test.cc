#include "storage/src/tree_store/page_store/file_backend.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "storage/src/tree_store/page_store/backends.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/temp_dir.h"

extern char** environ;

namespace storage {
namespace {

using test::panic_text;

constexpr const char* kLockHeld = "Database already open. Cannot acquire lock.";

std::string open_error(Result<std::unique_ptr<FileBackend>, DatabaseError> r) {
  if (r.ok()) return "<opened>";
  return r.error().to_string();
}

TEST(FileBackendTest, LockMatrix) {
  test::TempDir dir;
  const std::string path = dir.file("db");
  {
    auto writer = FileBackend::open_writable(path);
    ASSERT_TRUE(writer.ok());
    EXPECT_TRUE(writer.value()->lock_supported());
    // A reader refuses the still empty file without touching the lock.
    EXPECT_EQ(open_error(FileBackend::open_read_only(path)), "I/O error: invalid data");
    const uint8_t bytes[] = {1, 2, 3};
    ASSERT_TRUE(writer.value()->write(0, bytes).ok());
    EXPECT_EQ(open_error(FileBackend::open_writable(path)), kLockHeld);
    EXPECT_EQ(open_error(FileBackend::open_read_only(path)), kLockHeld);
    // The refused opens left the first holder working.
    ASSERT_TRUE(writer.value()->write(3, bytes).ok());
  }
  {
    auto reader1 = FileBackend::open_read_only(path);
    auto reader2 = FileBackend::open_read_only(path);
    ASSERT_TRUE(reader1.ok());
    ASSERT_TRUE(reader2.ok());
    EXPECT_EQ(open_error(FileBackend::open_writable(path)), kLockHeld);
    // close releases the lock even while the descriptor stays open.
    ASSERT_TRUE(reader1.value()->close().ok());
    ASSERT_TRUE(reader2.value()->close().ok());
    EXPECT_EQ(open_error(FileBackend::open_writable(path)), "<opened>");
  }
  EXPECT_EQ(open_error(FileBackend::open_read_only(dir.file("missing"))),
            "I/O error: No such file or directory (os error 2)");
}

TEST(FileBackendTest, OpenCreatesWithoutTruncatingAndDebugText) {
  test::TempDir dir;
  const std::string path = dir.file("db");
  const mode_t old_mask = ::umask(0);
  auto created = FileBackend::open_writable(path);
  ::umask(old_mask);
  ASSERT_TRUE(created.ok());
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  std::vector<uint8_t> data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(created.value()->write(100, data).ok());
  ASSERT_TRUE(created.value()->sync_data().ok());
  const int fd = created.value()->fd();
  EXPECT_EQ(created.value()->debug(),
            "FileBackend { lock_supported: true, file: File { fd: " + std::to_string(fd) + " } }");
  ReadOnlyBackend wrapped(std::move(created).value());
  EXPECT_EQ(wrapped.debug(), "ReadOnlyBackend { inner: FileBackend { lock_supported: true, "
                             "file: File { fd: " + std::to_string(fd) + " } } }");
  ASSERT_TRUE(wrapped.close().ok());

  auto reopened = FileBackend::open_writable(path);
  ASSERT_TRUE(reopened.ok());
  auto len = reopened.value()->len();
  ASSERT_TRUE(len.ok());
  EXPECT_EQ(len.value(), 10100u);
  std::vector<uint8_t> back(data.size());
  ASSERT_TRUE(reopened.value()->read(100, back).ok());
  EXPECT_EQ(back, data);

  ASSERT_TRUE(reopened.value()->set_len(50).ok());
  EXPECT_EQ(reopened.value()->len().value(), 50u);
  ASSERT_TRUE(reopened.value()->set_len(9000).ok());
  std::vector<uint8_t> tail(100);
  ASSERT_TRUE(reopened.value()->read(8900, tail).ok());
  EXPECT_EQ(tail, std::vector<uint8_t>(100, 0));
}

TEST(FileBackendTest, ReadPastEndAndEmptyTransfers) {
  test::TempDir dir;
  auto opened = FileBackend::open_writable(dir.file("db"));
  ASSERT_TRUE(opened.ok());
  const FileBackend& file = *opened.value();
  std::vector<uint8_t> data(100, 0xAB);
  ASSERT_TRUE(file.write(0, data).ok());

  std::vector<uint8_t> out(64, 0);
  auto past = file.read(80, out);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().to_string(), "failed to fill whole buffer");
  // The bytes that exist were read before the end was hit.
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(out[19], 0xAB);

  EXPECT_TRUE(file.read(100, std::span<uint8_t>()).ok());
  EXPECT_TRUE(file.read(1 << 30, std::span<uint8_t>()).ok());
  EXPECT_TRUE(file.write(1 << 20, std::span<const uint8_t>()).ok());
  EXPECT_EQ(file.len().value(), 100u);
}

// Bytes just written sit in the system's page cache: read without waiting,
// the same bytes as read(). Past the end it never claims to have read (the
// ordinary read reports that), and an empty read is trivially done.
TEST(FileBackendTest, ReadIfCached) {
  test::TempDir dir;
  auto opened = FileBackend::open_writable(dir.file("db"));
  ASSERT_TRUE(opened.ok());
  const FileBackend& file = *opened.value();
  std::vector<uint8_t> data(3 * 4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(file.write(0, data).ok());
  std::vector<uint8_t> out(4096 + 100, 0);
  ASSERT_TRUE(file.read_if_cached(4000, out));
  EXPECT_TRUE(std::equal(out.begin(), out.end(), data.begin() + 4000));
  EXPECT_FALSE(file.read_if_cached(data.size() - 10, out));
  EXPECT_FALSE(file.read_if_cached(1 << 30, out));
  EXPECT_TRUE(file.read_if_cached(0, std::span<uint8_t>()));
}

// Scripted stand-ins for pread64/pwrite64: each call takes the next outcome.
struct Outcome {
  ssize_t result;  // bytes moved, or -1 with `err`
  int err = 0;
};
std::vector<Outcome> g_script;
size_t g_next = 0;
std::vector<std::pair<size_t, off64_t>> g_calls;  // (count, offset) asked for
std::vector<uint8_t> g_file;

ssize_t scripted_read(int, void* buf, size_t count, off64_t offset) {
  g_calls.emplace_back(count, offset);
  const Outcome o = g_next < g_script.size() ? g_script[g_next++] : Outcome{0};
  if (o.result < 0) {
    errno = o.err;
    return -1;
  }
  const size_t n = std::min(count, static_cast<size_t>(o.result));
  std::memcpy(buf, g_file.data() + offset, n);
  return static_cast<ssize_t>(n);
}

ssize_t scripted_write(int, const void* buf, size_t count, off64_t offset) {
  g_calls.emplace_back(count, offset);
  const Outcome o = g_next < g_script.size() ? g_script[g_next++] : Outcome{0};
  if (o.result < 0) {
    errno = o.err;
    return -1;
  }
  const size_t n = std::min(count, static_cast<size_t>(o.result));
  std::memcpy(g_file.data() + offset, buf, n);
  return static_cast<ssize_t>(n);
}

void reset_script(std::vector<Outcome> script) {
  g_script = std::move(script);
  g_next = 0;
  g_calls.clear();
  g_file.assign(64, 0);
  for (size_t i = 0; i < g_file.size(); ++i) g_file[i] = static_cast<uint8_t>(i);
}

TEST(FileIoLoopTest, InterruptedShortAndOversizedTransfers) {
  using Calls = std::vector<std::pair<size_t, off64_t>>;
  std::vector<uint8_t> out(20, 0);

  // EINTR is retried at the same place; short reads advance.
  reset_script({{-1, EINTR}, {5}, {-1, EINTR}, {15}});
  ASSERT_TRUE(file_io::read_exact_at(0, out, 10, scripted_read).ok());
  EXPECT_EQ(g_calls, (Calls{{20, 10}, {20, 10}, {15, 15}, {15, 15}}));
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 10 + i);

  // End of file part-way; any other error is returned as it is.
  reset_script({{8}, {0}});
  auto eof = file_io::read_exact_at(0, out, 0, scripted_read);
  ASSERT_FALSE(eof.ok());
  EXPECT_EQ(eof.error().to_string(), "failed to fill whole buffer");
  reset_script({{4}, {-1, EIO}});
  auto eio = file_io::read_exact_at(0, out, 0, scripted_read);
  ASSERT_FALSE(eio.ok());
  EXPECT_EQ(eio.error().code, EIO);

  // Transfers beyond the per-call maximum are split.
  reset_script({{7}, {7}, {6}});
  ASSERT_TRUE(file_io::read_exact_at(0, out, 0, scripted_read, 7).ok());
  EXPECT_EQ(g_calls, (Calls{{7, 0}, {7, 7}, {6, 14}}));

  const std::vector<uint8_t> data(20, 0xEE);
  reset_script({{-1, EINTR}, {3}, {100}, {100}});
  ASSERT_TRUE(file_io::write_all_at(0, data, 30, scripted_write, 16).ok());
  EXPECT_EQ(g_calls, (Calls{{16, 30}, {16, 30}, {16, 33}, {1, 49}}));
  for (size_t i = 30; i < 50; ++i) ASSERT_EQ(g_file[i], 0xEE);

  reset_script({{5}, {0}});
  auto zero = file_io::write_all_at(0, data, 0, scripted_write);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().to_string(), "failed to write whole buffer");
}

// Scripted stand-in for pwritev64: records (parts, total bytes, offset) and
// writes what the next outcome allows, part after part.
std::vector<std::tuple<int, size_t, off64_t>> g_gathers;

ssize_t scripted_gather(int, const struct iovec* iov, int iovcnt, off64_t offset) {
  size_t total = 0;
  for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
  g_gathers.emplace_back(iovcnt, total, offset);
  const Outcome o = g_next < g_script.size() ? g_script[g_next++] : Outcome{0};
  if (o.result < 0) {
    errno = o.err;
    return -1;
  }
  size_t left = std::min(total, static_cast<size_t>(o.result));
  const size_t n = left;
  for (int i = 0; i < iovcnt && left > 0; ++i) {
    const size_t take = std::min(left, iov[i].iov_len);
    std::memcpy(g_file.data() + offset, iov[i].iov_base, take);
    offset += static_cast<off64_t>(take);
    left -= take;
  }
  return static_cast<ssize_t>(n);
}

TEST(FileIoLoopTest, GatheredWritesResumeMidPartAndRespectTheLimits) {
  using Gathers = std::vector<std::tuple<int, size_t, off64_t>>;
  // Parts of 5, 0, 7 and 4 bytes, each filled with its own value.
  const std::vector<uint8_t> a(5, 0xA1), empty, b(7, 0xB2), c(4, 0xC3);
  const std::vector<std::span<const uint8_t>> parts{a, empty, b, c};
  auto check_file = [&](size_t at) {
    for (size_t i = 0; i < 16; ++i) {
      const uint8_t want = i < 5 ? 0xA1 : i < 12 ? 0xB2 : 0xC3;
      ASSERT_EQ(g_file[at + i], want) << i;
    }
  };

  // One call when nothing stops it; the empty part is not passed on.
  reset_script({{100}});
  g_gathers.clear();
  ASSERT_TRUE(file_io::write_gathered_at(0, parts, 20, scripted_gather).ok());
  EXPECT_EQ(g_gathers, (Gathers{{3, 16, 20}}));
  check_file(20);

  // EINTR retries the same call; a short write stopping inside a part resumes
  // in it; another ending on a part boundary resumes at the next part.
  reset_script({{-1, EINTR}, {3}, {9}, {100}});
  g_gathers.clear();
  ASSERT_TRUE(file_io::write_gathered_at(0, parts, 10, scripted_gather).ok());
  EXPECT_EQ(g_gathers, (Gathers{{3, 16, 10}, {3, 16, 10}, {3, 13, 13}, {1, 4, 22}}));
  check_file(10);

  // At most 2 parts and 6 bytes per call.
  reset_script({{100}, {100}, {100}});
  g_gathers.clear();
  ASSERT_TRUE(file_io::write_gathered_at(0, parts, 0, scripted_gather, 6, 2).ok());
  EXPECT_EQ(g_gathers, (Gathers{{2, 6, 0}, {1, 6, 6}, {1, 4, 12}}));
  check_file(0);

  // Errors come back as they are; a call that writes nothing is an error.
  reset_script({{5}, {-1, EIO}});
  auto eio = file_io::write_gathered_at(0, parts, 0, scripted_gather);
  ASSERT_FALSE(eio.ok());
  EXPECT_EQ(eio.error().code, EIO);
  reset_script({{5}, {0}});
  auto zero = file_io::write_gathered_at(0, parts, 0, scripted_gather);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().to_string(), "failed to write whole buffer");
}

// A child started after the open must inherit neither the descriptor nor, with
// it, the lock: once this process lets go, the file can be opened again while
// the child still runs.
TEST(FileBackendTest, ChildProcessDoesNotInheritDescriptorOrLock) {
  test::TempDir dir;
  const std::string path = dir.file("db");
  auto first = FileBackend::open_writable(path);
  ASSERT_TRUE(first.ok());
  const int flags = ::fcntl(first.value()->fd(), F_GETFD);
  EXPECT_NE(flags & FD_CLOEXEC, 0);

  pid_t child;
  char arg0[] = "sleep";
  char arg1[] = "30";
  char* argv[] = {arg0, arg1, nullptr};
  ASSERT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);

  first = Err{DatabaseError::LockHeld()};  // drops the backend and its descriptor
  const std::string again = open_error(FileBackend::open_writable(path));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(again, "<opened>");
}

TEST(ReadOnlyBackendTest, ForwardsReadsAndRefusesChanges) {
  auto file = std::make_shared<test::MemoryFile>(std::vector<uint8_t>{1, 2, 3, 4});
  ReadOnlyBackend backend(std::make_unique<test::MemoryBackend>(file));
  EXPECT_EQ(backend.debug(), "ReadOnlyBackend { inner: MemoryBackend }");
  EXPECT_EQ(backend.len().value(), 4u);
  std::vector<uint8_t> out(2);
  ASSERT_TRUE(backend.read(1, out).ok());
  EXPECT_EQ(out, (std::vector<uint8_t>{2, 3}));
  EXPECT_TRUE(backend.close().ok());
  const std::string unreachable = "internal error: entered unreachable code";
  EXPECT_EQ(panic_text([&] { (void)backend.write(0, out); }), unreachable);
  EXPECT_EQ(panic_text([&] { (void)backend.set_len(0); }), unreachable);
  EXPECT_EQ(panic_text([&] { (void)backend.sync_data(); }), unreachable);
  EXPECT_EQ(file->snapshot(), (std::vector<uint8_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace storage
