// A growable byte buffer over mimalloc, for the writers of compact JSON and
// UUID payloads: small appends are inline, growth is out of line.
//
// Thread safety: none; one owner.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace rs {

class ByteBuffer {
 public:
  explicit ByteBuffer(size_t capacity = 128);
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // Makes room for `n` more bytes, so that writes through tail() need no check.
  void reserve_more(size_t n) {
    if (capacity_ - size_ < n) grow(n);
  }
  char* tail() { return data_ + size_; }
  void commit(size_t n) { size_ += n; }

  void append(const char* p, size_t n) {
    reserve_more(n);
    std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    reserve_more(1);
    data_[size_++] = c;
  }
  void clear() { size_ = 0; }
  // Drops the bytes from `n` on (n <= size()).
  void truncate(size_t n) { size_ = n; }

  char* data() { return data_; }
  const char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view view() const { return {data_, size_}; }

 private:
  void grow(size_t n);

  char* data_;
  size_t size_ = 0;
  size_t capacity_;
};

}  // namespace rs
