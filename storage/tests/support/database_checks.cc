#include "storage/tests/support/database_checks.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/src/system_types.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/tree_checker.h"

namespace storage::test {
namespace {

const char* const kListedTables[] = {"data_pages_unreachable", "system_pages_unreachable"};

std::string describe(const PageUnits& units) {
  std::string out;
  size_t shown = 0;
  for (const auto& [region, index] : units) {
    if (shown++ == 8) return out + " ...";
    out += " (" + std::to_string(region) + "," + std::to_string(index) + ")";
  }
  return out;
}

// The pages the unreachable-page tables of the system directory list.
Result<PageNumberSet, std::string> listed_pages(const TableTree& system,
                                                const std::shared_ptr<TransactionalMemory>& mem) {
  PageNumberSet out;
  for (const char* name : kListedTables) {
    auto table = system.get_table<TransactionIdWithPagination, PageList>(name, TableKind::kNormal);
    if (!table.ok()) return Err{std::string(name) + ": " + table.error().to_string()};
    if (!table.value() || !table.value()->table_root()) continue;
    auto range = BtreeCursorRange::from_bounds<TransactionIdWithPagination, PageList>(
        EncodedBound::unbounded(), EncodedBound::unbounded(),
        table.value()->table_root()->root, page_source_of(mem), PageReadHint::kMayBeDirty);
    while (auto entry = range.next()) {
      if (!entry->ok()) return Err{std::string(name) + ": " + entry->error().to_string()};
      const ByteView value = entry->value().value();
      if (value.size() < PageList::kHeaderSize ||
          value.size() < PageList::required_bytes(PageList(value).len())) {
        return Err{std::string(name) + ": a page list shorter than its count"};
      }
      for (PageNumber page : PageList(value).pages()) out.insert(page);
    }
  }
  return out;
}

std::string check_directory(const char* which, const TableTree& tree,
                            const std::shared_ptr<TransactionalMemory>& mem, bool data) {
  auto verified = tree.verify_checksums();
  if (!verified.ok()) return std::string(which) + " checksums: " + verified.error().to_string();
  if (!verified.value()) return std::string(which) + " checksums do not match";
  auto source = page_source_of(mem);
  TreeCheck directory = check_tree(*source, tree.get_root(), kTableDirectoryDescriptor);
  if (!directory.error.empty()) return std::string(which) + " directory: " + directory.error;
  auto names = tree.list_tables(TableKind::kNormal);
  if (!names.ok()) return std::string(which) + " tables: " + names.error().to_string();
  for (const std::string& name : names.value()) {
    std::optional<TreeDescriptor> descriptor;
    if (data) {
      descriptor = tree_descriptor<U64Codec, BytesCodec>();
    } else if (name.find("_pages_") != std::string::npos) {
      descriptor = tree_descriptor<TransactionIdWithPagination, PageList>();
    }
    if (!descriptor) continue;
    auto definition = tree.get_table_untyped(name, TableKind::kNormal);
    if (!definition.ok() || !definition.value()) {
      return std::string(which) + " table " + name + " cannot be read back";
    }
    TreeCheck check = check_tree(*source, definition.value()->table_root(), *descriptor);
    if (!check.error.empty()) return std::string(which) + " table " + name + ": " + check.error;
    if (check.pairs != definition.value()->table_length()) {
      return std::string(which) + " table " + name + ": stored length " +
             std::to_string(definition.value()->table_length()) + ", pairs " +
             std::to_string(check.pairs);
    }
  }
  return "";
}

}  // namespace

std::string check_page_store(const std::shared_ptr<TransactionalMemory>& mem) {
  auto data = TableTree::create(mem->get_data_root(), PageReadHint::kMayBeDirty,
                                TransactionGuard::new_untracked(), mem);
  if (!data.ok()) return "data directory: " + data.error().to_string();
  auto system = TableTree::create(mem->get_system_root(), PageReadHint::kMayBeDirty,
                                  TransactionGuard::new_untracked(), mem);
  if (!system.ok()) return "system directory: " + system.error().to_string();
  if (std::string e = check_directory("data", data.value(), mem, true); !e.empty()) return e;
  if (std::string e = check_directory("system", system.value(), mem, false); !e.empty()) return e;

  PageNumberSet reachable;
  auto collect = [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    reachable.insert(path.back());
    return {};
  };
  if (auto r = data.value().visit_all_pages(collect); !r.ok()) {
    return "data walk: " + r.error().to_string();
  }
  if (auto r = system.value().visit_all_pages(collect); !r.ok()) {
    return "system walk: " + r.error().to_string();
  }
  auto listed = listed_pages(system.value(), mem);
  if (!listed.ok()) return listed.error();
  PageUnits expected = units_of(reachable);
  for (const auto& unit : units_of(listed.value())) expected.insert(unit);
  const PageUnits allocated = allocated_units_of(*mem);
  PageUnits leaked, missing;
  for (const auto& unit : allocated) {
    if (!expected.contains(unit)) leaked.insert(unit);
  }
  for (const auto& unit : expected) {
    if (!allocated.contains(unit)) missing.insert(unit);
  }
  if (!missing.empty()) {
    return "pages in use but free in the allocators:" + describe(missing);
  }
  if (!leaked.empty()) return "allocated pages no tree or list holds:" + describe(leaked);
  return "";
}

}  // namespace storage::test
