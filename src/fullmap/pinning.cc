#include "src/fullmap/pinning.h"

#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <thread>

#include "src/fullmap/layout.h"
#include "src/fullmap/settings.h"
#include "src/utf8.h"
#include "storage/database.h"
#include "storage/transaction.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::Result;

struct Identity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const Identity&) const = default;
};

std::optional<Identity> stat_identity(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return Identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// One attempt's handles, released together when the attempt fails.
struct Attempt {
  OpenedDatabase primary;
  std::vector<OpenedDatabase> shards;
};

// One attempt: the bundle when consistent, nullopt to try again.
Result<std::optional<PinnedBundle>, PendingError> pin_once(const std::string& path,
                                                           const std::string& canonical) {
  const std::optional<Identity> before = stat_identity(canonical);
  Attempt a;
  TRY_ASSIGN(a.primary, open_cached_path(canonical, /*validate=*/true));
  TRY_ASSIGN(std::optional<std::string> shards_text, read_meta(*a.primary.db, kMetaShardsKey));
  const uint32_t count = routing_shard_count(
      shards_text ? std::optional<std::string_view>(*shards_text) : std::nullopt);
  a.shards.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    TRY_ASSIGN(OpenedDatabase shard,
               open_cached_path(canonical_or_given(shard_path(path, i)), /*validate=*/false));
    a.shards.push_back(std::move(shard));
  }
  bool all_equal = true;
  bool all_missing = a.primary.missing;
  bool none_missing = !a.primary.missing;
  for (const OpenedDatabase& s : a.shards) {
    all_equal = all_equal && s.build_id == a.primary.build_id;
    all_missing = all_missing && s.missing;
    none_missing = none_missing && !s.missing;
  }
  bool pinned = false;
  if (all_equal && all_missing) {
    pinned = true;
  } else if (all_equal && none_missing && before) {
    // The primary handle must be the file that was at the path before and
    // still is after: its identity comes from the opened file itself.
    const std::optional<Identity> after = stat_identity(canonical);
    const storage::FileIdentity opened = a.primary.db->file_identity();
    pinned = after && *after == *before && Identity{opened.device, opened.inode} == *before;
  }
  if (pinned) {
    PinnedBundle bundle;
    bundle.build_id = a.primary.build_id;
    bundle.primary = std::move(a.primary.db);
    bundle.shards.reserve(a.shards.size());
    for (OpenedDatabase& s : a.shards) bundle.shards.push_back(std::move(s.db));
    return std::optional<PinnedBundle>(std::move(bundle));
  }
  return std::optional<PinnedBundle>();
}

}  // namespace

uint32_t routing_shard_count(std::optional<std::string_view> meta_shards) {
  if (!meta_shards) return kShardCount;
  std::optional<uint64_t> n = parse_usize(*meta_shards);
  if (!n) return kShardCount;
  if (*n < 2) return 1;
  // Past 2^63 the next power of two does not fit: such a count routes as one.
  if (*n > (uint64_t{1} << 63)) return 1;
  return static_cast<uint32_t>(std::min<uint64_t>(std::bit_floor(*n), kShardCount));
}

PinTestHooks& pin_test_hooks() {
  static PinTestHooks hooks;
  return hooks;
}

Result<PinnedBundle, PendingError> open_cached_shards(const std::string& path) {
  const std::string canonical = canonical_or_given(path);
  for (int attempt = 1; attempt <= kPinAttempts; ++attempt) {
    if (auto hook = pin_test_hooks().before_attempt) hook(attempt);
    TRY_ASSIGN(std::optional<PinnedBundle> bundle, pin_once(path, canonical));
    if (bundle) return std::move(*bundle);
    // The attempt's handles are gone: a stale generation is not held over the
    // wait.
    if (attempt < kPinAttempts) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPinRetrySleepMs));
    }
  }
  return Err{PendingError::runtime(
      "fullmap at " + utf8::lossy(canonical) +
      " kept changing generation; could not pin one primary-plus-shards bundle after " +
      std::to_string(kPinAttempts) + " attempts")};
}


}  // namespace rs::fullmap
