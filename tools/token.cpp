// CToken: splits paths and lists at a one-character delimiter. Pure string work; it never
// touches the file system.
#include "tools/token.h"

#include <cctype>

std::string TrimLeft(const std::string& s) {
    size_t first = 0;
    while (first < s.size() && std::isspace(static_cast<unsigned char>(s[first])))
        ++first;
    return s.substr(first);
}

std::string TrimBoth(const std::string& s) {
    std::string t = TrimLeft(s);
    size_t end = t.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(t[end - 1])))
        --end;
    return t.substr(0, end);
}

CToken::CToken(const std::string& text, const std::string& delimiter)
    : m_strWhole(TrimBoth(text)), m_strRemaining(m_strWhole), m_strDelimiter(delimiter) {
    m_nCount = CountTokens(m_strWhole);
}

int CToken::CountTokens(std::string s) const {
    int n = 0;
    if (m_strDelimiter.empty())
        return s.empty() ? 0 : 1;
    for (size_t p = s.find(m_strDelimiter[0]); p != std::string::npos;
         p = s.find(m_strDelimiter[0])) {
        ++n;
        s = TrimLeft(s.substr(p + 1));
    }
    return s.empty() ? n : n + 1;
}

bool CToken::HasMoreTokens() {
    return m_nIndex < m_nCount;
}

std::string CToken::GetNextToken() {
    if (!HasMoreTokens())
        return std::string();
    std::string token;
    const size_t p =
        m_strDelimiter.empty() ? std::string::npos : m_strRemaining.find(m_strDelimiter[0]);
    if (p != std::string::npos) {
        token = m_strRemaining.substr(0, p);
        m_strRemaining = TrimLeft(m_strRemaining.substr(p + 1));
    } else {
        token = m_strRemaining;
    }
    ++m_nIndex;
    return token;
}
