#include "storage/tests/support/crash_backend.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace storage::test {

namespace {

void apply_write(std::vector<uint8_t>& image, uint64_t offset, std::span<const uint8_t> data) {
  if (offset + data.size() > image.size()) image.resize(offset + data.size());
  std::copy(data.begin(), data.end(), image.begin() + static_cast<ptrdiff_t>(offset));
}

// Applies the sectors of a write that survive a tear: each piece between
// 512-byte boundaries of the file is kept with even odds.
void apply_torn_write(std::vector<uint8_t>& image, uint64_t offset,
                      std::span<const uint8_t> data, std::mt19937_64& rng) {
  uint64_t pos = offset;
  const uint64_t end = offset + data.size();
  while (pos < end) {
    const uint64_t sector_end = std::min(end, (pos / kSectorSize + 1) * kSectorSize);
    if (rng() & 1) apply_write(image, pos, data.subspan(pos - offset, sector_end - pos));
    pos = sector_end;
  }
}

}  // namespace

std::string CrashSpec::debug() const {
  std::string s;
  switch (keep) {
    case Keep::kNone:
      s = "none";
      break;
    case Keep::kAll:
      s = "all";
      break;
    case Keep::kPrefix:
      s = "first " + std::to_string(prefix);
      break;
    case Keep::kSubset:
      s = "subset";
      break;
  }
  return s + " seed=" + std::to_string(seed) + (torn ? " torn" : "");
}

std::vector<uint8_t> CrashState::synced_image() const {
  std::lock_guard<std::mutex> lock(mu_);
  return synced_;
}

std::vector<uint8_t> CrashState::current_image() const {
  std::lock_guard<std::mutex> lock(mu_);
  return current_;
}

size_t CrashState::unsynced_ops() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unsynced_.size();
}

uint64_t CrashState::syncs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return syncs_;
}

std::vector<uint8_t> CrashState::crash_image(const CrashSpec& spec) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> image = synced_;
  std::mt19937_64 rng(spec.seed);
  size_t count = 0;
  switch (spec.keep) {
    case CrashSpec::Keep::kNone:
      return image;
    case CrashSpec::Keep::kAll:
    case CrashSpec::Keep::kSubset:
      count = unsynced_.size();
      break;
    case CrashSpec::Keep::kPrefix:
      count = std::min(spec.prefix, unsynced_.size());
      break;
  }
  for (size_t i = 0; i < count; ++i) {
    const Op& op = unsynced_[i];
    if (spec.keep == CrashSpec::Keep::kSubset && (rng() & 1) == 0) continue;
    if (!op.is_write) {
      image.resize(op.offset);
      continue;
    }
    const bool tear = spec.torn && (spec.keep != CrashSpec::Keep::kPrefix || i + 1 == count);
    if (tear) {
      apply_torn_write(image, op.offset, op.data, rng);
    } else {
      apply_write(image, op.offset, op.data);
    }
  }
  return image;
}

Result<void, IoError> CrashState::read(uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return {};
  std::lock_guard<std::mutex> lock(mu_);
  if (offset >= current_.size() || out.size() > current_.size() - offset) {
    return Err{IoError::other("failed to fill whole buffer")};
  }
  std::memcpy(out.data(), current_.data() + offset, out.size());
  return {};
}

void CrashState::write(uint64_t offset, std::span<const uint8_t> data) {
  std::lock_guard<std::mutex> lock(mu_);
  apply_write(current_, offset, data);
  unsynced_.push_back(Op{true, offset, std::vector<uint8_t>(data.begin(), data.end())});
}

void CrashState::set_len(uint64_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  current_.resize(len);
  unsynced_.push_back(Op{false, len, {}});
}

void CrashState::sync() {
  std::lock_guard<std::mutex> lock(mu_);
  synced_ = current_;
  unsynced_.clear();
  ++syncs_;
}

uint64_t CrashState::len() const {
  std::lock_guard<std::mutex> lock(mu_);
  return current_.size();
}

}  // namespace storage::test
