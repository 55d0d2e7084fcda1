// Typed table handles of the storage engine, as its users see them.
//
// ReadOnlyTable reads one table of a read snapshot (get, iter); Range walks it
// in ascending key order. Table writes one table of the open write transaction
// (insert, and, for unsigned integer keys and byte string values, a
// sorted-append write cursor through upper_bound_mut); its new
// root reaches the commit when the handle (and any cursor opened on it) is
// gone. Results are StoredValue views: each keeps the page it points into
// alive, so it may outlive the table and the transaction.
//
// Lifetimes: a ReadOnlyTable or Range may outlive its ReadTransaction (it
// keeps the snapshot registered). A Table and its CursorMut share their write
// transaction's state; a transaction must not commit or abort while one is
// open (that panics, naming the table), a Table with an open cursor refuses
// any other use (a panic), and a Table whose transaction already ended refuses
// every use. Destructors never throw.
//
// Untrusted bytes: stored text that is not UTF-8 (and any stored key or value
// a codec could not decode) is StorageError::Corrupted from get and next,
// never a crash.
//
// Thread safety: each handle belongs to one thread at a time. Views may move
// between threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "storage/src/error.h"
#include "storage/src/panic.h"
#include "storage/src/result.h"
#include "storage/src/types.h"

namespace storage {

// The limits on a stored pair that Table::insert and CursorMut::insert_before
// enforce before anything is written.
inline constexpr uint64_t kMaxValueLength = 0xC0000000;
inline constexpr uint64_t kMaxKeyLength = 0xC0000000;
inline constexpr uint64_t kMaxPairLength = 0xF0000000;

namespace detail {

// The shared part of a Keepalive: a thread-safe count of references and how to
// free what it holds once the count reaches zero.
class KeepaliveBlock {
 public:
  KeepaliveBlock(const KeepaliveBlock&) = delete;
  KeepaliveBlock& operator=(const KeepaliveBlock&) = delete;

  void acquire(uint64_t n) noexcept { refs_.fetch_add(n, std::memory_order_relaxed); }
  // Drops n references; the last one frees the block.
  void release(uint64_t n) noexcept {
    if (refs_.fetch_sub(n, std::memory_order_acq_rel) == n) destroy_(this);
  }

 protected:
  // Starts with `refs` references, all the creator's.
  KeepaliveBlock(uint64_t refs, void (*destroy)(KeepaliveBlock*) noexcept) noexcept
      : refs_(refs), destroy_(destroy) {}
  ~KeepaliveBlock() = default;

 private:
  std::atomic<uint64_t> refs_;
  void (*destroy_)(KeepaliveBlock*) noexcept;
};

}  // namespace detail

// One counted reference to what keeps stored bytes alive (a page).
class Keepalive {
 public:
  Keepalive() = default;
  // Takes over one reference the caller already counted.
  static Keepalive adopt(detail::KeepaliveBlock* block) noexcept { return Keepalive(block); }
  Keepalive(const Keepalive& other) noexcept : block_(other.block_) {
    if (block_ != nullptr) block_->acquire(1);
  }
  Keepalive(Keepalive&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  Keepalive& operator=(Keepalive other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~Keepalive() {
    if (block_ != nullptr) block_->release(1);
  }

 private:
  explicit Keepalive(detail::KeepaliveBlock* block) noexcept : block_(block) {}
  detail::KeepaliveBlock* block_ = nullptr;
};

// Stored bytes and what keeps them alive: a shared page, or for a few bytes
// (a number key, say) a copy held inline, which costs no shared count.
class StoredBytes {
 public:
  static constexpr size_t kInlineBytes = 16;

  StoredBytes(Keepalive keepalive, ByteView bytes) noexcept
      : keepalive_(std::move(keepalive)), data_(bytes.data()), size_(bytes.size()) {}
  // A copy of at most kInlineBytes bytes (more panics).
  static StoredBytes copy_of(ByteView bytes) {
    STORAGE_ASSERT(bytes.size() <= kInlineBytes);
    StoredBytes out;
    out.size_ = bytes.size();
    if (out.size_ != 0) std::memcpy(out.inline_, bytes.data(), out.size_);
    return out;
  }

  ByteView bytes() const noexcept {
    return ByteView(data_ != nullptr ? data_ : inline_, size_);
  }

 private:
  StoredBytes() = default;
  Keepalive keepalive_;
  const uint8_t* data_ = nullptr;  // null for an inline copy
  size_t size_ = 0;
  uint8_t inline_[kInlineBytes] = {};
};

// A view of one stored key or value of codec C.
template <ValueCodec C>
class StoredValue {
 public:
  explicit StoredValue(StoredBytes stored) : stored_(std::move(stored)) {}
  ByteView bytes() const { return stored_.bytes(); }
  typename C::Decoded value() const { return C::from_bytes(stored_.bytes()); }

 private:
  StoredBytes stored_;
};

// Where a write cursor is placed: after every key <= k, after every key < k,
// or after the last key. The bound is a number: on a table of narrower keys, a
// bound above the largest key places the cursor after the last key.
struct CursorBound {
  enum class Kind : uint8_t { kIncluded, kExcluded, kUnbounded };
  Kind kind = Kind::kUnbounded;
  uint64_t key = 0;
  static CursorBound included(uint64_t key) { return {Kind::kIncluded, key}; }
  static CursorBound excluded(uint64_t key) { return {Kind::kExcluded, key}; }
  static CursorBound unbounded() { return {}; }
};

namespace detail {

class ReadTableCore;
class RangeCore;
class TableCore;
class CursorCore;

// What opening a table checks a stored definition against.
struct TableTypes {
  TypeName key_type;
  std::optional<size_t> key_width;
  TypeName value_type;
  std::optional<size_t> value_width;
  TreeDescriptor descriptor;

  template <KeyCodec K, ValueCodec V>
  static TableTypes of() {
    return {K::type_name(), K::fixed_width(), V::type_name(), V::fixed_width(),
            tree_descriptor<K, V>()};
  }
};

// Stored bytes that codec C cannot decode are Corrupted, named by table.
Result<void, StorageError> check_utf8(ByteView bytes, const std::string& table, const char* what);
Result<void, StorageError> check_width(ByteView bytes, size_t width, const std::string& table,
                                       const char* what);
template <ValueCodec C>
Result<void, StorageError> check_decodable(ByteView bytes, const std::string& table,
                                           const char* what) {
  if constexpr (std::is_same_v<C, TextCodec>) {
    return check_utf8(bytes, table, what);
  } else if constexpr (C::fixed_width().has_value()) {
    if (bytes.size() == *C::fixed_width()) return {};  // the common case, inline
    return check_width(bytes, *C::fixed_width(), table, what);
  } else {
    return {};
  }
}

const std::string& read_table_name(const ReadTableCore& core);
Result<std::optional<StoredBytes>, StorageError> read_table_get(const ReadTableCore& core,
                                                                ByteView key);
Result<std::shared_ptr<RangeCore>, StorageError> read_table_iter(const ReadTableCore& core);
std::optional<Result<std::pair<StoredBytes, StoredBytes>, StorageError>> range_next(
    RangeCore& range);
const std::string& range_table_name(const RangeCore& range);

const std::string& table_name(const TableCore& core);
Result<std::optional<StoredBytes>, StorageError> table_insert(TableCore& core, ByteView key,
                                                              ByteView value);
// `key` is the bound's key in the table's encoding (unused when unbounded).
Result<std::shared_ptr<CursorCore>, StorageError> table_upper_bound_mut(
    const std::shared_ptr<TableCore>& core, CursorBound::Kind kind, ByteView key);

// `key` is encoded, of the table's fixed key width.
Result<void, StorageError> cursor_insert_before(CursorCore& cursor, ByteView key,
                                                ByteView value);
Result<void, StorageError> cursor_close(CursorCore& cursor);

// The key codecs a write cursor serves: unsigned integers, fixed width.
template <typename K>
inline constexpr bool kCursorKey = false;
template <typename T>
inline constexpr bool kCursorKey<IntCodec<T>> = true;

}  // namespace detail

// The entries of one table of a read snapshot, in ascending key order.
template <KeyCodec K, ValueCodec V>
class Range {
 public:
  explicit Range(std::shared_ptr<detail::RangeCore> core) : core_(std::move(core)) {}

  // None at the end. A failed read is an error and the next call tries the
  // same step again; an entry that does not decode is an error in its place.
  std::optional<Result<std::pair<StoredValue<K>, StoredValue<V>>, StorageError>> next() {
    using Out = Result<std::pair<StoredValue<K>, StoredValue<V>>, StorageError>;
    auto entry = detail::range_next(*core_);
    if (!entry) return std::nullopt;
    if (!entry->ok()) return Out(std::move(*entry).take_err());
    auto [key, value] = std::move(*entry).value();
    const std::string& name = detail::range_table_name(*core_);
    if (auto r = detail::check_decodable<K>(key.bytes(), name, "key"); !r.ok()) {
      return Out(std::move(r).take_err());
    }
    if (auto r = detail::check_decodable<V>(value.bytes(), name, "value"); !r.ok()) {
      return Out(std::move(r).take_err());
    }
    return Out(std::pair<StoredValue<K>, StoredValue<V>>(StoredValue<K>(std::move(key)),
                                                         StoredValue<V>(std::move(value))));
  }

 private:
  std::shared_ptr<detail::RangeCore> core_;
};

// One table of a read snapshot.
template <KeyCodec K, ValueCodec V>
class ReadOnlyTable {
 public:
  using Key = typename K::Decoded;
  explicit ReadOnlyTable(std::shared_ptr<const detail::ReadTableCore> core)
      : core_(std::move(core)) {}

  const std::string& name() const { return detail::read_table_name(*core_); }

  // None for an absent key.
  Result<std::optional<StoredValue<V>>, StorageError> get(const Key& key) const {
    using Out = std::optional<StoredValue<V>>;
    auto encoded = K::as_bytes(key);
    TRY_ASSIGN(std::optional<StoredBytes> found, detail::read_table_get(*core_, ByteView(encoded)));
    if (!found) return Out();
    TRY(detail::check_decodable<V>(found->bytes(), name(), "value"));
    return Out(StoredValue<V>(std::move(*found)));
  }

  // Every entry, ascending.
  Result<Range<K, V>, StorageError> iter() const {
    TRY_ASSIGN(std::shared_ptr<detail::RangeCore> range, detail::read_table_iter(*core_));
    return Range<K, V>(std::move(range));
  }

 private:
  std::shared_ptr<const detail::ReadTableCore> core_;
};

// The sorted-append write cursor of a table of unsigned integer keys (codec K)
// and byte string values. A failed insert makes every later one answer
// StorageError::PreviousIo; a failure that left the tree half edited, or a
// failed close, poisons the transaction. Dropping an open cursor closes it,
// discarding the result. A closed cursor (or one moved from) holds nothing,
// not even its table: an insert answers StorageError::PreviousIo and close
// does nothing.
template <KeyCodec K>
class BasicCursorMut {
 public:
  explicit BasicCursorMut(std::shared_ptr<detail::CursorCore> core) : core_(std::move(core)) {}

  // The key must sort strictly between the cursor's neighbours (the last key
  // inserted included): else StorageError::UnorderedKey, and the cursor stays
  // usable.
  Result<void, StorageError> insert_before(const typename K::Decoded& key, ByteView value) {
    if (core_ == nullptr) return Err{StorageError::PreviousIo()};
    const auto encoded = K::as_bytes(key);
    return detail::cursor_insert_before(*core_, ByteView(encoded), value);
  }
  // Writes what is buffered; the cursor is gone afterwards.
  Result<void, StorageError> close() && {
    if (core_ == nullptr) return {};
    auto core = std::move(core_);
    return detail::cursor_close(*core);
  }

 private:
  std::shared_ptr<detail::CursorCore> core_;
};

// The cursor of a u64 → byte string table.
using CursorMut = BasicCursorMut<U64Codec>;

// One table of the open write transaction.
template <KeyCodec K, ValueCodec V>
class Table {
 public:
  using Key = typename K::Decoded;
  using Value = typename V::Decoded;
  explicit Table(std::shared_ptr<detail::TableCore> core) : core_(std::move(core)) {}

  const std::string& name() const { return detail::table_name(*core_); }

  // Adds the pair or replaces the value of an equal key (returning the old
  // one). A value or key over kMaxValueLength, or a pair over kMaxPairLength,
  // is StorageError::ValueTooLarge carrying that length, and nothing changes.
  Result<std::optional<StoredValue<V>>, StorageError> insert(const Key& key, const Value& value) {
    using Out = std::optional<StoredValue<V>>;
    auto k = K::as_bytes(key);
    auto v = V::as_bytes(value);
    TRY_ASSIGN(std::optional<StoredBytes> old,
               detail::table_insert(*core_, ByteView(k), ByteView(v)));
    if (!old) return Out();
    return Out(StoredValue<V>(std::move(*old)));
  }

  // A write cursor placed at the bound; the table refuses other use until the
  // cursor is closed or dropped.
  Result<BasicCursorMut<K>, StorageError> upper_bound_mut(CursorBound bound)
    requires(detail::kCursorKey<K> && std::is_same_v<V, BytesCodec>)
  {
    using T = typename K::Decoded;
    if (bound.key > std::numeric_limits<T>::max()) bound = CursorBound::unbounded();
    const auto key = K::as_bytes(static_cast<T>(bound.key));
    TRY_ASSIGN(std::shared_ptr<detail::CursorCore> cursor,
               detail::table_upper_bound_mut(core_, bound.kind, ByteView(key)));
    return BasicCursorMut<K>(std::move(cursor));
  }

 private:
  std::shared_ptr<detail::TableCore> core_;
};

}  // namespace storage
