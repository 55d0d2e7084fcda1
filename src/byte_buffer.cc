#include "src/byte_buffer.h"

#include <mimalloc.h>

#include <new>

namespace rs {

ByteBuffer::ByteBuffer(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  data_ = static_cast<char*>(mi_malloc(capacity_));
  if (data_ == nullptr) throw std::bad_alloc();
}

ByteBuffer::~ByteBuffer() { mi_free(data_); }

void ByteBuffer::grow(size_t n) {
  size_t cap = capacity_ * 2;
  if (cap < size_ + n) cap = size_ + n;
  auto* bigger = static_cast<char*>(mi_realloc(data_, cap));
  if (bigger == nullptr) throw std::bad_alloc();
  data_ = bigger;
  capacity_ = cap;
}

}  // namespace rs
