// Keeps the test-support library non-empty before its first helper lands.
namespace storage_test_support {}
