// What a database's page store must satisfy after every open, checked from
// its newest commit: every tree of both directories verifies its checksums
// and passes the tree checker (data tables hold u64 keys and byte-string
// values, as the reliability workloads write them), and the allocators hold
// exactly the pages the trees reach plus those the two unreachable-page
// tables list: a page too many is a leak, a page too few is a page that a
// later transaction could hand out twice.
//
// Thread safety: call with no write transaction live on the page store.
#pragma once

#include <memory>
#include <string>

#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/memory_page_store.h"
#include "storage/tests/support/transactional_page_store.h"

namespace storage::test {

// Empty when everything holds; else the first broken rule.
std::string check_page_store(const std::shared_ptr<TransactionalMemory>& mem);

}  // namespace storage::test
