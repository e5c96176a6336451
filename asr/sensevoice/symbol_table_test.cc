#include "sensevoice/symbol_table.h"

#include <gtest/gtest.h>

#include "sensevoice/sense_voice_test_util.h"

namespace {

TEST(SymbolTable, ReadsPairsSeparatedByAnyWhitespace) {
  const std::string path = WriteTestFile(
      "tokens_ok.txt",
      "<blk> 0\n\xE2\x96\x81hi 9\n\xE2\x96\x81 10\tx\xE2\x96\x81y 11   <|en|>\n4\r\n"
      "a 12\nb 12\nneg -3\n");
  SymbolTable table(path);
  ASSERT_TRUE(table.loaded);
  EXPECT_EQ(table.Lookup(0), "<blk>");
  EXPECT_EQ(table.Lookup(9), " hi");           // the word-start mark becomes a space
  EXPECT_EQ(table.Lookup(10), " ");
  EXPECT_EQ(table.Lookup(11), "x\xE2\x96\x81y");  // only a leading mark is replaced
  EXPECT_EQ(table.Lookup(4), "<|en|>");
  EXPECT_EQ(table.Lookup(12), "b");            // a later pair replaces an earlier one
  EXPECT_EQ(table.Lookup(-3), "neg");
  EXPECT_EQ(table.Lookup(77), "");
  EXPECT_EQ(&table.Lookup(77), &table.Lookup(78));  // one shared empty string
}

TEST(SymbolTable, StopsAtTheFirstIdThatIsNotANumber) {
  SymbolTable partial(WriteTestFile("tokens_partial.txt", "a 1\nb two\nc 3\n"));
  EXPECT_TRUE(partial.loaded);
  EXPECT_EQ(partial.size(), 1u);
  EXPECT_EQ(partial.Lookup(3), "");

  SymbolTable first_bad(WriteTestFile("tokens_bad.txt", "a one\nb 2\n"));
  EXPECT_FALSE(first_bad.loaded);
  EXPECT_EQ(first_bad.size(), 0u);

  SymbolTable odd(WriteTestFile("tokens_odd.txt", "lonely"));
  EXPECT_FALSE(odd.loaded);
  SymbolTable empty(WriteTestFile("tokens_empty.txt", ""));
  EXPECT_FALSE(empty.loaded);
  SymbolTable missing(TestTmpDir() + "/sv_no_such_tokens.txt");
  EXPECT_FALSE(missing.loaded);
}

}  // namespace
