// Small file and process helpers shared by the fullmap tests.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <string_view>
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

}  // namespace rs::fullmap::test
