#include "src/byte_buffer.h"

#include "src/module_alloc.h"

#include <new>

namespace rs {

ByteBuffer::ByteBuffer(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  data_ = static_cast<char*>(module_malloc(capacity_));
  if (data_ == nullptr) throw std::bad_alloc();
}

ByteBuffer::~ByteBuffer() { module_free(data_); }

void ByteBuffer::grow(size_t n) {
  size_t cap = capacity_ * 2;
  if (cap < size_ + n) cap = size_ + n;
  auto* bigger = static_cast<char*>(module_realloc(data_, cap));
  if (bigger == nullptr) throw std::bad_alloc();
  data_ = bigger;
  capacity_ = cap;
}

}  // namespace rs
