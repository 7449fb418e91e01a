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

namespace {

// A tokenizer that stops after the first token shows GetNextToken asks the virtual.
class FirstOnly : public CToken {
public:
    using CToken::CToken;
    bool HasMoreTokens() override { return !m_bDone; }
    std::string GetNextToken() override {
        std::string t = CToken::GetNextToken();
        m_bDone = true;
        return t;
    }

private:
    bool m_bDone = false;
};

class NeverMore : public CToken {
public:
    using CToken::CToken;
    bool HasMoreTokens() override { return false; }
};

TEST(CToken, GetNextTokenAsksTheOverriddenHasMoreTokens) {
    NeverMore t("a\\b", "\\");
    EXPECT_EQ(t.GetNextToken(), "");
    FirstOnly f("a\\b", "\\");
    EXPECT_EQ(f.GetNextToken(), "a");
    EXPECT_EQ(f.GetNextToken(), "");
}

TEST(CToken, PosixAbsolutePathStartsWithAnEmptyToken) {
    CToken t("/data/in/", "/");
    EXPECT_EQ(AllTokens(t), (std::vector<std::string>{"", "data", "in"}));
}

TEST(CToken, LastTokenIsTheRemainderWhenNoDelimiterFollows) {
    CToken t("C:\\data\\ in", "\\");
    EXPECT_EQ(t.GetNextToken(), "C:");
    EXPECT_EQ(t.GetNextToken(), "data");
    EXPECT_EQ(t.GetNextToken(), "in");
    EXPECT_EQ(t.GetNextToken(), "");
}

} // namespace
