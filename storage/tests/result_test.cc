#include "storage/src/result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace storage {
namespace {

enum class SmallError { kA, kB };
struct WideError {
  WideError(SmallError e) : code(e == SmallError::kA ? 1 : 2) {}  // NOLINT
  int code;
};

Result<int, SmallError> parse(int x) {
  if (x < 0) return Err{SmallError::kB};
  return x * 2;
}

Result<std::unique_ptr<int>, WideError> chain(int x) {
  TRY_ASSIGN(int doubled, parse(x));
  return std::make_unique<int>(doubled + 1);
}

Result<void, WideError> check(int x) {
  TRY(parse(x));
  return {};
}

TEST(ResultTest, ValuesErrorsAndPropagationAcrossErrorTypes) {
  auto ok = chain(4);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(**ok, 9);
  auto bad = chain(-1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().code, 2);
  EXPECT_TRUE(check(1).ok());
  EXPECT_EQ(check(-1).error().code, 2);
}

TEST(ResultTest, WrongAccessorPanicsWithMessage) {
  auto bad = parse(-1);
  EXPECT_THROW((void)bad.value(), Panic);
  auto good = parse(1);
  try {
    (void)good.error();
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "called error() on an ok result");
  }
}

TEST(ResultTest, AssertPanicsWithConditionText) {
  try {
    STORAGE_ASSERT(1 + 1 == 3);
    FAIL() << "expected a panic";
  } catch (const Panic& p) {
    EXPECT_NE(std::string(p.what()).find("1 + 1 == 3"), std::string::npos);
  }
}

}  // namespace
}  // namespace storage
