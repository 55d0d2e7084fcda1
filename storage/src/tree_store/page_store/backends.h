// StorageBackend: the database file under the page store. The page store's
// cache owns the backend and is its only caller, from several threads at once
// and without a common lock, so every implementation must be safe under
// concurrent calls (all operations are const).
//
// ReadOnlyBackend wraps another backend for a database opened read-only: it
// lets reads, length queries and close through; anything else is a bug.
//
// Thread safety: implementations are safe to call from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "storage/src/error.h"
#include "storage/src/result.h"

namespace storage {

class StorageBackend {
 public:
  virtual ~StorageBackend() = default;

  // One line naming the implementation and its fields.
  virtual std::string debug() const = 0;
  // The file's current size in bytes.
  virtual Result<uint64_t, IoError> len() const = 0;
  // Fills all of `out` with the bytes starting at `offset`.
  virtual Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const = 0;
  // Truncates or extends the file to exactly `len` bytes.
  virtual Result<void, IoError> set_len(uint64_t len) const = 0;
  // Makes all written data durable.
  virtual Result<void, IoError> sync_data() const = 0;
  // Writes all of `data` at `offset`.
  virtual Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const = 0;
  // Writes the parts back to back from `offset`, as if concatenated. The
  // default writes each part with write(), stopping at the first failure; a
  // backend may gather them into fewer calls. After a failure any prefix of
  // the bytes may have reached the file.
  virtual Result<void, IoError> write_gathered(
      uint64_t offset, std::span<const std::span<const uint8_t>> parts) const;
  // Releases what the backend holds (the file lock); called once, at database close.
  virtual Result<void, IoError> close() const = 0;
  // A hint that [offset, offset + len) will be read soon, so that reads of
  // many scattered pages can overlap; the default does nothing.
  virtual void prefetch(uint64_t offset, uint64_t len) const;
  // Fills all of `out` from `offset` only when that costs no wait for the
  // device (the bytes are in the system's page cache): true when it did.
  // False says nothing about the bytes (not cached, not supported, or a
  // failure the ordinary read() will then meet), and `out` may hold any
  // bytes. The default does nothing and returns false.
  virtual bool read_if_cached(uint64_t offset, std::span<uint8_t> out) const;
};

class ReadOnlyBackend final : public StorageBackend {
 public:
  explicit ReadOnlyBackend(std::unique_ptr<StorageBackend> inner);

  std::string debug() const override;
  Result<uint64_t, IoError> len() const override;
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override;
  Result<void, IoError> close() const override;
  void prefetch(uint64_t offset, uint64_t len) const override;
  bool read_if_cached(uint64_t offset, std::span<uint8_t> out) const override;
  // A read-only page store issues none of these; each panics.
  Result<void, IoError> set_len(uint64_t len) const override;
  Result<void, IoError> sync_data() const override;
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override;

 private:
  std::unique_ptr<StorageBackend> inner_;
};

}  // namespace storage
