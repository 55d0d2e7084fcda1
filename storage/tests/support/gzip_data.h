// Test data kept gzip-compressed in the repository (storage/tests/data),
// read whole into memory.
//
// Thread safety: none needed; each call reads its own file.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/src/panic.h"

namespace storage::test {

// The uncompressed bytes of the gzip file at `path`; panics when it cannot be
// read, since a test without its data has nothing to check.
inline std::vector<uint8_t> gunzip(const std::string& path) {
  gzFile in = gzopen(path.c_str(), "rb");
  if (in == nullptr) panic("cannot open " + path);
  std::vector<uint8_t> out;
  uint8_t chunk[1 << 16];
  int n = 0;
  while ((n = gzread(in, chunk, sizeof(chunk))) > 0) out.insert(out.end(), chunk, chunk + n);
  gzclose(in);
  if (n < 0) panic("cannot gunzip " + path);
  return out;
}

}  // namespace storage::test
