#include <gtest/gtest.h>

#include <cstring>

#include "platform/com/com.h"

TEST(BstrTest, SysAllocStringCopiesTextWithLengthPrefixAndTerminator) {
  BSTR text = SysAllocString(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(SysStringByteLen(text), 6u);
  EXPECT_EQ(std::u16string(text), u"abc");
  EXPECT_EQ(text[3], u'\0');
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  SysFreeString(text);
}

TEST(BstrTest, NullTextIsTheEmptyBstr) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(BstrTest, SysAllocStringLenKeepsEmbeddedNulAndCutsAtLength) {
  const char16_t source[] = {u'a', u'\0', u'b', u'c'};
  BSTR text = SysAllocStringLen(source, 3);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 3u);
  EXPECT_EQ(text[1], u'\0');
  EXPECT_EQ(text[2], u'b');
  EXPECT_EQ(text[3], u'\0');
  SysFreeString(text);
}

TEST(BstrTest, SysAllocStringLenWithoutTextGivesZeroedBuffer) {
  BSTR text = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(text[i], u'\0');
  SysFreeString(text);
}

TEST(TaskMemoryTest, ZeroByteBlockIsStillABlock) {
  void* block = CoTaskMemAlloc(0);
  EXPECT_NE(block, nullptr);
  CoTaskMemFree(block);
  CoTaskMemFree(nullptr);
}

TEST(TaskMemoryTest, ReallocGrowsKeepsContentAndFreesOnZero) {
  auto* block = static_cast<char*>(CoTaskMemRealloc(nullptr, 4));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "abc", 4);
  block = static_cast<char*>(CoTaskMemRealloc(block, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block, "abc");
  EXPECT_EQ(CoTaskMemRealloc(block, 0), nullptr);
}
