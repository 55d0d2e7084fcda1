// Small file and process helpers shared by the fullmap tests.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace rs::fullmap::test {

inline void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// Runs this test program again in a child process on the tests `gtest_filter`
// picks, with `env_entry` ("NAME=value") added to the environment; the child
// learns from it what to do. Returns the wait status, or -1 when the child
// could not be started.
inline int run_self_child(std::string gtest_filter, std::string env_entry) {
  std::string filter_arg = "--gtest_filter=" + gtest_filter;
  std::vector<char*> argv = {const_cast<char*>("/proc/self/exe"), filter_arg.data(), nullptr};
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(env_entry.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

// The threads of this process.
inline size_t count_tasks() {
  size_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)e;
    ++n;
  }
  return n;
}

// The threads of this process, once it has `expected` of them. A joined
// thread may stay listed for a moment after its join returns (the kernel
// wakes the joiner before it lets the thread go), so the count is read again
// for a while before a different one is taken as it is.
inline size_t task_count(size_t expected) {
  size_t n = count_tasks();
  for (int tries = 0; tries < 10000 && n != expected; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    n = count_tasks();
  }
  return n;
}

// The count to come back to: taken once a thread has come and gone (a
// sanitizer starts a helper thread of its own with the first one) and the
// count holds still.
inline size_t baseline_task_count() {
  std::thread([] {}).join();
  size_t n = count_tasks();
  for (int same = 0, tries = 0; same < 5 && tries < 10000; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const size_t next = count_tasks();
    same = next == n ? same + 1 : 0;
    n = next;
  }
  return n;
}

}  // namespace rs::fullmap::test
