#include "src/fullmap/settings.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "src/utf8.h"

namespace rs::fullmap {
namespace {

// An optional "+" then digits only, as an unsigned 64-bit number.
std::optional<uint64_t> parse_u64(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// The variable's value when it is set and valid UTF-8.
std::optional<std::string_view> env_text(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  std::string_view text(v);
  if (!utf8::is_valid(text)) return std::nullopt;
  return text;
}

std::optional<std::string> read_whole(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(out).str();
}

// The CPU limit of a cgroup v2 quota ("max" or "<quota> <period>"), if any.
std::optional<size_t> cgroup_cpu_limit() {
  std::optional<std::string> cgroup = read_whole("/proc/self/cgroup");
  if (!cgroup) return std::nullopt;
  std::string_view text = *cgroup;
  if (text.substr(0, 3) != "0::") return std::nullopt;
  std::string_view rel = text.substr(3);
  rel = rel.substr(0, rel.find('\n'));
  std::optional<size_t> limit;
  // Each level of the hierarchy may carry its own quota: the smallest wins.
  std::string dir = "/sys/fs/cgroup" + std::string(rel);
  while (true) {
    if (std::optional<std::string> max = read_whole((dir + "/cpu.max").c_str())) {
      std::vector<std::string_view> f = utf8::split_whitespace(*max);
      if (f.size() == 2) {
        std::optional<uint64_t> quota = parse_u64(f[0]), period = parse_u64(f[1]);
        if (quota && period && *period > 0) {
          size_t cpus = std::max<uint64_t>(1, *quota / *period);
          limit = limit ? std::min(*limit, cpus) : cpus;
        }
      }
    }
    if (dir == "/sys/fs/cgroup") break;
    dir.erase(dir.rfind('/'));
  }
  return limit;
}

}  // namespace

std::optional<size_t> parse_usize(std::string_view text) {
  std::optional<uint64_t> v = parse_u64(text);
  if (!v || *v > SIZE_MAX) return std::nullopt;
  return static_cast<size_t>(*v);
}

size_t env_usize(const char* name, size_t fallback) {
  std::optional<std::string_view> text = env_text(name);
  if (!text) return fallback;
  return parse_usize(*text).value_or(fallback);
}

PrefixSet parse_exclude_prefixes(std::string_view text) {
  PrefixSet out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view item = utf8::trim(text.substr(start, comma - start));
    if (!item.empty()) out.emplace(item);
    start = comma + 1;
  }
  return out;
}

std::string default_spill_dir(std::string_view output) {
  std::string out(output);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out + ".spill.d";
}

size_t default_producers(size_t synonym_files, size_t workers) {
  return std::min(synonym_files, std::max<size_t>(4, workers / 4));
}

BuildSettings read_build_settings(std::string_view output, size_t synonym_files,
                                  size_t workers) {
  BuildSettings s;
  s.local_spill_entries = env_usize(kEnvLocalSpillEntries, kDefaultLocalSpillEntries);
  s.curie_spill_entries = env_usize(kEnvCurieSpillEntries, kDefaultCurieSpillEntries);
  if (std::optional<std::string_view> text = env_text(kEnvExcludePrefixes)) {
    s.exclude_prefixes = parse_exclude_prefixes(*text);
  }
  s.chunk_bytes = env_usize(kEnvChunkBytes, kDefaultChunkBytes);
  s.producers = env_usize(kEnvProducers, default_producers(synonym_files, workers));
  s.cache_bytes = env_usize(kEnvDbCacheBytes, kDefaultCacheBytes);
  s.insert_batch = env_usize(kEnvInsertBatch, kDefaultInsertBatch);
  std::optional<std::string_view> dir = env_text(kEnvSpillDir);
  s.spill_dir = dir ? std::string(*dir) : default_spill_dir(output);
  return s;
}

size_t worker_count(std::optional<uint64_t> threads, size_t cpus,
                    std::optional<std::string_view> meminfo) {
  if (threads) return static_cast<size_t>(std::max<uint64_t>(*threads, 1));
  std::optional<uint64_t> kb;
  if (meminfo && utf8::is_valid(*meminfo)) {
    std::string_view text = *meminfo;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.substr(0, 13) == "MemAvailable:") {
        std::vector<std::string_view> fields = utf8::split_whitespace(line);
        if (fields.size() >= 2) kb = parse_u64(fields[1]);
        break;  // only the first such line counts
      }
      start = end + 1;
    }
  }
  size_t count;
  if (!kb || *kb == 0) {
    count = cpus * 9 / 10;
  } else {
    uint64_t by_memory = std::max<uint64_t>(1, *kb / 2'097'152);
    count = static_cast<size_t>(std::min<uint64_t>(by_memory, cpus));
  }
  return std::max<size_t>(count, 1);
}

size_t available_cpus() {
  size_t cpus = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = static_cast<size_t>(CPU_COUNT(&set));
  if (cpus == 0) cpus = std::thread::hardware_concurrency();
  if (std::optional<size_t> limit = cgroup_cpu_limit()) {
    cpus = cpus == 0 ? *limit : std::min(cpus, *limit);
  }
  return cpus == 0 ? 1 : cpus;
}

std::optional<std::string> read_meminfo() { return read_whole("/proc/meminfo"); }

size_t choose_worker_count(std::optional<uint64_t> threads) {
  if (threads) return worker_count(threads, 1, std::nullopt);
  std::optional<std::string> meminfo = read_meminfo();
  return worker_count(std::nullopt, available_cpus(),
                      meminfo ? std::optional<std::string_view>(*meminfo) : std::nullopt);
}

void raise_open_file_limit() {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  if (lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

}  // namespace rs::fullmap
