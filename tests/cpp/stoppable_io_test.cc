#include "src/stoppable_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "storage/tests/support/temp_dir.h"

namespace rs {
namespace {

using storage::test::TempDir;
using namespace std::chrono_literals;

StopCheck never() {
  return [] { return false; };
}

// Everything until the end, or the error that ended it.
storage::Result<std::string, int> read_all(StoppableFd fd, const StopCheck& stop) {
  std::string out;
  char buf[7];  // small: the lines arrive in several reads
  for (;;) {
    auto n = read_stoppable(fd, buf, sizeof buf, stop);
    if (!n.ok()) return storage::Err(n.error());
    if (*n == 0) return out;
    out.append(buf, *n);
  }
}

class Fifo {
 public:
  Fifo() : path_(dir_.path() + "/fifo") { EXPECT_EQ(::mkfifo(path_.c_str(), 0600), 0); }
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
};

// A FIFO opened before its writer came reads as empty until then: it is read
// in full however late the writer comes, also when the writer opens, waits
// and writes in pieces.
TEST(StoppableIo, AFifoWhoseWriterComesLateIsReadInFull) {
  for (auto delay : {0ms, 120ms, 300ms}) {
    SCOPED_TRACE(delay.count());
    Fifo fifo;
    auto opened = open_for_reading(fifo.path(), 0, never());
    ASSERT_TRUE(opened.ok());
    ASSERT_TRUE(opened->can_wait && opened->fifo);
    std::thread writer([&] {
      std::this_thread::sleep_for(delay);
      const int fd = ::open(fifo.path().c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      std::this_thread::sleep_for(delay / 2);
      ASSERT_EQ(::write(fd, "first line\n", 11), 11);
      std::this_thread::sleep_for(delay / 2);
      ASSERT_EQ(::write(fd, "second line\n", 12), 12);
      ::close(fd);
    });
    auto got = read_all(*opened, never());
    writer.join();
    ::close(opened->fd);
    ASSERT_TRUE(got.ok()) << got.error();
    EXPECT_EQ(*got, "first line\nsecond line\n");
  }
}

// Waiting on a FIFO gives way to `stop`: with no writer yet, and with a
// writer that sent a line and stalled.
TEST(StoppableIo, WaitingOnAFifoStopsWhenAsked) {
  for (bool writer_came : {false, true}) {
    SCOPED_TRACE(writer_came);
    Fifo fifo;
    auto opened = open_for_reading(fifo.path(), 0, never());
    ASSERT_TRUE(opened.ok());
    int writer = -1;
    if (writer_came) {
      writer = ::open(fifo.path().c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_EQ(::write(writer, "one\n", 4), 4);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> asked{0};
    std::thread stopper([&] {
      std::this_thread::sleep_for(200ms);
      stop = true;
    });
    auto got = read_all(*opened, [&] {
      ++asked;
      return stop.load();
    });
    stopper.join();
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), kStopped);
    EXPECT_GE(asked.load(), 2) << "stop was not asked while waiting";
    ::close(opened->fd);
    if (writer >= 0) ::close(writer);
  }
}

// Opening a FIFO for writing waits for its reader in slices, asking `stop`:
// a reader that comes lets the open through, `stop` gives it up.
TEST(StoppableIo, OpeningAFifoForWritingWaitsForItsReaderUntilStopped) {
  for (bool reader_comes : {true, false}) {
    SCOPED_TRACE(reader_comes);
    Fifo fifo;
    std::atomic<int> asked{0};
    int reader = -1;
    std::thread comer([&] {
      std::this_thread::sleep_for(150ms);
      if (reader_comes) reader = ::open(fifo.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    });
    auto opened = open_for_writing(fifo.path(), 0, 0600, [&] {
      return ++asked >= 20;  // a second or so
    });
    comer.join();
    EXPECT_GE(asked.load(), 2) << "stop was not asked while waiting";
    if (reader_comes) {
      ASSERT_TRUE(opened.ok()) << opened.error();
      EXPECT_TRUE(opened->can_wait && opened->fifo);
      EXPECT_LT(asked.load(), 20);
      ::close(opened->fd);
      ::close(reader);
    } else {
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error(), kStopped);
    }
  }
}

// What a blocking open refuses at once is refused at once, without waiting:
// a socket (ENXIO, as a FIFO without a reader gives) and a missing directory.
TEST(StoppableIo, OpeningForWritingFailsAtOnceWhereNothingCanCome) {
  TempDir dir;
  const std::string socket_path = dir.path() + "/socket";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int asked = 0;
  const StopCheck counting = [&] { return ++asked > 100; };
  auto on_socket = open_for_writing(socket_path, 0, 0600, counting);
  ASSERT_FALSE(on_socket.ok());
  EXPECT_EQ(on_socket.error(), ENXIO);
  auto missing = open_for_writing(dir.path() + "/no/file", O_CREAT, 0600, counting);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);
  EXPECT_EQ(asked, 0);
  ::close(sock);
  // A regular file is created with the mode asked for, less the umask.
  const mode_t old_mask = ::umask(022);
  auto created = open_for_writing(dir.path() + "/new", O_CREAT, 0666, counting);
  ::umask(old_mask);
  ASSERT_TRUE(created.ok());
  EXPECT_FALSE(created->can_wait);
  struct stat st;
  ASSERT_EQ(::fstat(created->fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ::close(created->fd);
}

// A full pipe with no reader taking from it: the write gives way to `stop`.
TEST(StoppableIo, AWriteToAFullPipeStopsWhenAsked) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  auto prepared = prepare_for_waiting(fds[1]);
  ASSERT_TRUE(prepared.ok());
  ASSERT_TRUE(prepared->can_wait);
  const std::string big(1 << 20, 'x');  // more than a pipe holds
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    stop = true;
  });
  auto wrote = write_all_stoppable(*prepared, big.data(), big.size(), [&] { return stop.load(); });
  stopper.join();
  ASSERT_FALSE(wrote.ok());
  EXPECT_EQ(wrote.error(), kStopped);
  ::close(fds[0]);
  ::close(fds[1]);
}

// A regular file is read as it is, without poll, and `stop` is asked before
// each read.
TEST(StoppableIo, ARegularFileIsReadPlainly) {
  TempDir dir;
  const std::string path = dir.path() + "/plain";
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::write(fd, "abcdefghijklmnopqrstuvwxyz", 26), 26);
    ::close(fd);
  }
  auto opened = open_for_reading(path, 0, never());
  ASSERT_TRUE(opened.ok());
  EXPECT_FALSE(opened->can_wait);
  auto got = read_all(*opened, never());
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, "abcdefghijklmnopqrstuvwxyz");
  ASSERT_EQ(::lseek(opened->fd, 0, SEEK_SET), 0);
  int asked = 0;
  auto stopped = read_all(*opened, [&] { return ++asked == 2; });
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error(), kStopped);
  ::close(opened->fd);
  auto missing = open_for_reading(dir.path() + "/missing", 0, never());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);
}

}  // namespace
}  // namespace rs
