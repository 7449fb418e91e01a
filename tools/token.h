// CToken splits a string at a one-character delimiter, dropping white space after each
// delimiter; the directory walk and the profile lookup use it to split paths into levels.
#pragma once
#include <string>

class CToken {
public:
    CToken(const std::string& text, const std::string& delimiter);
    virtual ~CToken() = default;

    // The next token, or an empty string when none remains.
    virtual std::string GetNextToken();
    virtual bool HasMoreTokens();

    // Number of tokens the text splits into with this object's delimiter.
    int CountTokens(std::string text) const;

private:
    std::string m_strWhole;
    std::string m_strRemaining;
    std::string m_strDelimiter;
    int m_nCount = 0;
    int m_nIndex = 0;
};

// White space as the C locale's isspace sees it, removed from either end.
std::string TrimLeft(const std::string& s);
std::string TrimBoth(const std::string& s);
