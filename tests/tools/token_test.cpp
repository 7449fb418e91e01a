#include "tools/token.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> AllTokens(CToken& t) {
    std::vector<std::string> out;
    while (t.HasMoreTokens())
        out.push_back(t.GetNextToken());
    return out;
}

TEST(CToken, WhiteSpaceAroundTheTextAndAfterDelimitersIsDropped) {
    CToken t("  a\\ b  ", "\\");
    EXPECT_EQ(AllTokens(t), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(t.HasMoreTokens());
    EXPECT_EQ(t.GetNextToken(), "");
}

TEST(CToken, TextWithoutDelimiterIsItsOnlyToken) {
    CToken t("abc", "\\");
    EXPECT_EQ(AllTokens(t), (std::vector<std::string>{"abc"}));
    CToken empty("", "\\");
    EXPECT_FALSE(empty.HasMoreTokens());
}

TEST(CToken, DoubledDelimiterGivesAnEmptyToken) {
    CToken t("a\\\\b", "\\");
    EXPECT_EQ(AllTokens(t), (std::vector<std::string>{"a", "", "b"}));
}

TEST(CToken, CountsMatchDirectoryAndNetworkPaths) {
    CToken t("", "\\");
    EXPECT_EQ(t.CountTokens("C:\\data\\in\\"), 3);
    EXPECT_EQ(t.CountTokens("\\\\server\\share"), 4);
}

TEST(CToken, TrailingWhiteSpaceBeforeDelimiterIsKept) {
    CToken t("a \\b", "\\");
    EXPECT_EQ(AllTokens(t), (std::vector<std::string>{"a ", "b"}));
}

} // namespace
