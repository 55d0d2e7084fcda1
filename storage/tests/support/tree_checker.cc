#include "storage/tests/support/tree_checker.h"

#include <vector>

#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_mutator.h"

namespace storage::test {
namespace {

using Key = std::vector<uint8_t>;

std::string hex(ByteView bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < 24; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  if (bytes.size() > 24) out += "...";
  return out;
}

class Walker {
 public:
  Walker(const PageSource& pages, const TreeDescriptor& d, const TreeCheckOptions& options)
      : pages_(pages), d_(d), options_(options) {}

  TreeCheck run(std::optional<BtreeHeader> root) {
    if (root) {
      walk(root->root, root->checksum, true, 1, nullptr, nullptr);
      if (out_.error.empty() && out_.pairs != root->length) {
        fail("root header length " + std::to_string(root->length) + " but " +
             std::to_string(out_.pairs) + " pairs");
      }
    }
    return std::move(out_);
  }

 private:
  bool fail(const std::string& message) {
    if (out_.error.empty()) out_.error = message;
    return false;
  }
  int cmp(ByteView a, ByteView b) const {
    auto c = d_.compare(a, b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }

  // Keys of this subtree lie in (lo, hi]; a null bound is open.
  bool walk(PageNumber page_number, Checksum recorded, bool parent_uncommitted, size_t depth,
            const Key* lo, const Key* hi) {
    const std::string where = "page " + page_number.debug() + ": ";
    if (!out_.pages.insert(page_number).second) return fail(where + "reached twice");
    if (depth > kMaxTreeDepth) return fail(where + "too deep");
    auto read = pages_.get_page(page_number, options_.hint);
    if (!read.ok()) return fail(where + "read failed: " + read.error().to_string());
    const PageImpl page = std::move(read).value();
    ByteView bytes = page.memory();
    if (bytes.empty()) return fail(where + "empty");
    const bool is_leaf = bytes[0] == kLeafPageType;
    if (!is_leaf && bytes[0] != kBranchPageType) return fail(where + "type byte");

    bool uncommitted = true;
    if (options_.uncommitted) {
      uncommitted = options_.uncommitted(page_number);
      if (uncommitted && !parent_uncommitted) return fail(where + "uncommitted under committed");
      if (options_.pending_slots) {
        if (uncommitted && recorded != kPendingChecksum) {
          return fail(where + "uncommitted page without the pending checksum");
        }
        if (!uncommitted) {
          auto real = is_leaf ? leaf_checksum(page, d_.fixed_key_width, d_.fixed_value_width)
                              : branch_checksum(page, d_.fixed_key_width);
          if (!real.ok() || real.value() != recorded) {
            return fail(where + "committed page with a wrong recorded checksum");
          }
        }
      }
    }

    if (is_leaf) {
      auto accessor = LeafAccessor::create(page, d_);
      if (!accessor.ok()) return fail(where + accessor.error().to_string());
      if (accessor->num_pairs() == 0) return fail(where + "empty leaf");
      if (leaf_depth_ && *leaf_depth_ != depth) return fail(where + "leaf at another depth");
      leaf_depth_ = depth;
      out_.depth = depth;
      ++out_.leaves;
      for (size_t i = 0; i < accessor->num_pairs(); ++i) {
        auto entry = accessor->entry(i);
        if (!entry.ok()) return fail(where + entry.error().to_string());
        ByteView key = (*entry)->key;
        if (last_key_ && cmp(*last_key_, key) >= 0) {
          return fail(where + "keys not ascending at " + hex(key));
        }
        if (lo != nullptr && cmp(key, *lo) <= 0) return fail(where + "key below its subtree");
        if (hi != nullptr && cmp(key, *hi) > 0) return fail(where + "key above its subtree");
        last_key_ = Key(key.begin(), key.end());
        ++out_.pairs;
      }
      return true;
    }

    auto accessor = BranchAccessor::create(page, d_);
    if (!accessor.ok()) return fail(where + accessor.error().to_string());
    const size_t k = accessor->num_keys();
    if (k == 0) return fail(where + "branch without keys");
    std::vector<Key> separators;
    for (size_t i = 0; i < k; ++i) {
      auto key = accessor->key(i);
      if (!key.ok()) return fail(where + key.error().to_string());
      separators.emplace_back((*key)->begin(), (*key)->end());
      if (i > 0 && cmp(separators[i - 1], separators[i]) >= 0) {
        return fail(where + "separators not ascending");
      }
    }
    for (size_t i = 0; i <= k; ++i) {
      const Key* child_lo = i == 0 ? lo : &separators[i - 1];
      const Key* child_hi = i == k ? hi : &separators[i];
      if (!walk(accessor->child_page(i), accessor->child_checksum(i), uncommitted, depth + 1,
                child_lo, child_hi)) {
        return false;
      }
    }
    return true;
  }

  const PageSource& pages_;
  TreeDescriptor d_;
  const TreeCheckOptions& options_;
  TreeCheck out_;
  std::optional<Key> last_key_;
  std::optional<size_t> leaf_depth_;
};

}  // namespace

TreeCheck check_tree(const PageSource& pages, std::optional<BtreeHeader> root,
                     const TreeDescriptor& descriptor, const TreeCheckOptions& options) {
  return Walker(pages, descriptor, options).run(root);
}

}  // namespace storage::test
