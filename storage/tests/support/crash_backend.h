// A crash-simulating backend: keeps the image as of the last sync plus the
// writes and resizes made since, in order. Reads see everything written. A
// test asks the shared CrashState for the image a power cut would leave: with
// none, all, a prefix or a seeded subset of the unsynced operations, optionally
// torn at 512-byte sectors (a torn write keeps a seeded subset of its sectors).
//
// Thread safety: the state is mutex-guarded.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/backends.h"

namespace storage::test {

inline constexpr uint64_t kSectorSize = 512;

struct CrashSpec {
  enum class Keep { kNone, kAll, kPrefix, kSubset };
  Keep keep = Keep::kNone;
  // kPrefix: how many unsynced operations (oldest first) survive.
  size_t prefix = 0;
  // Picks the kSubset survivors (each with even odds) and the torn sectors.
  uint64_t seed = 0;
  // kPrefix tears the last surviving write; kAll and kSubset tear every
  // surviving write. A torn write keeps each of its sectors with even odds.
  bool torn = false;

  static CrashSpec none() { return {}; }
  static CrashSpec all(bool torn = false, uint64_t seed = 0) {
    return {Keep::kAll, 0, seed, torn};
  }
  static CrashSpec first(size_t n, bool torn = false, uint64_t seed = 0) {
    return {Keep::kPrefix, n, seed, torn};
  }
  static CrashSpec subset(uint64_t seed, bool torn = false) {
    return {Keep::kSubset, 0, seed, torn};
  }
  std::string debug() const;
};

class CrashState {
 public:
  CrashState() = default;
  explicit CrashState(std::vector<uint8_t> synced) : synced_(synced), current_(std::move(synced)) {}

  std::vector<uint8_t> synced_image() const;
  // What reads see: the synced image with every later operation applied.
  std::vector<uint8_t> current_image() const;
  size_t unsynced_ops() const;
  uint64_t syncs() const;
  std::vector<uint8_t> crash_image(const CrashSpec& spec) const;

  // Backend side.
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const;
  void write(uint64_t offset, std::span<const uint8_t> data);
  void set_len(uint64_t len);
  void sync();
  uint64_t len() const;

 private:
  struct Op {
    bool is_write;
    uint64_t offset;  // write: where; resize: the new length
    std::vector<uint8_t> data;
  };

  mutable std::mutex mu_;
  std::vector<uint8_t> synced_;
  std::vector<uint8_t> current_;
  std::vector<Op> unsynced_;
  uint64_t syncs_ = 0;
};

class CrashBackend final : public StorageBackend {
 public:
  CrashBackend() : state_(std::make_shared<CrashState>()) {}
  explicit CrashBackend(std::shared_ptr<CrashState> state) : state_(std::move(state)) {}

  const std::shared_ptr<CrashState>& state() const { return state_; }

  std::string debug() const override { return "CrashBackend"; }
  Result<uint64_t, IoError> len() const override { return state_->len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    return state_->read(offset, out);
  }
  Result<void, IoError> set_len(uint64_t len) const override {
    state_->set_len(len);
    return {};
  }
  Result<void, IoError> sync_data() const override {
    state_->sync();
    return {};
  }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    state_->write(offset, data);
    return {};
  }
  Result<void, IoError> close() const override { return {}; }

 private:
  std::shared_ptr<CrashState> state_;
};

}  // namespace storage::test
