// Reading the start-up values the library sends.
#include "kelvod/protocol/startup_options.h"

#include <filesystem>

#include "kelvod/sql/sql_lexer.h"

namespace kelvod {

std::vector<std::pair<std::string, std::string>> ParseOptionItems(std::string_view s) {
    std::vector<std::pair<std::string, std::string>> items;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ') {
            ++i;  // runs of blanks are tolerated: a cloned connection's text has one item cut out
            continue;
        }
        size_t eq = s.find('=', i);
        size_t blank = s.find(' ', i);
        if (eq == std::string_view::npos || (blank != std::string_view::npos && blank < eq)) {
            throw SqlError("22023", "Invalid item \"" + std::string(s.substr(i, blank - i)) +
                                        "\" in the options value: expected name=value.");
        }
        std::string name(s.substr(i, eq - i));
        if (name.empty())
            throw SqlError("22023", "An item of the options value has no name.");
        i = eq + 1;
        std::string value;
        if (i < s.size() && s[i] == '\'') {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                char c = s[i++];
                if (c == '\\' && i < s.size()) {
                    value.push_back(s[i++]);
                } else if (c == '\'') {
                    closed = true;
                    break;
                } else
                    value.push_back(c);
            }
            if (!closed)
                throw SqlError("22023", "The value of \"" + name + "\" in the options value is not closed.");
        } else {
            while (i < s.size() && s[i] != ' ') {
                char c = s[i++];
                if (c == '\\' && i < s.size()) {
                    value.push_back(s[i++]);
                } else {
                    value.push_back(c);
                }
            }
        }
        items.emplace_back(std::move(name), std::move(value));
    }
    return items;
}

namespace {

class JsonReader {
public:
    explicit JsonReader(std::string_view s) : m_s(s) {}
    void Space() {
        while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\n' || m_s[m_i] == '\r' || m_s[m_i] == '\t'))
            ++m_i;
    }
    bool Take(char c) {
        Space();
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c))
            Fail(std::string("expected '") + c + "'");
    }
    std::string String() {
        Expect('"');
        std::string out;
        while (m_i < m_s.size()) {
            char c = m_s[m_i++];
            if (c == '"')
                return out;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_i >= m_s.size())
                break;
            char e = m_s[m_i++];
            if (char control = ControlEscape(e)) {
                out.push_back(control);
                continue;
            }
            switch (e) {
                case 'u': {
                    // Characters past U+FFFF arrive as a surrogate pair, which makes one character.
                    unsigned cp = Hex4();
                    if (cp >= 0xD800 && cp <= 0xDBFF && m_s.substr(m_i, 2) == "\\u") {
                        m_i += 2;
                        unsigned low = Hex4();
                        if (low < 0xDC00 || low > 0xDFFF)
                            Fail("a lone surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    if (cp >= 0xD800 && cp <= 0xDFFF)
                        Fail("a lone surrogate");
                    if (cp == 0)
                        Fail("a NUL character");
                    AppendUtf8(out, cp);
                    break;
                }
                default:
                    out.push_back(e);
            }
        }
        Fail("unterminated string");
    }
    unsigned Hex4() {
        if (m_i + 4 > m_s.size())
            Fail("short \\u escape");
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            int digit = HexValue(m_s[m_i++]);
            if (digit < 0)
                Fail("a \\u escape that is not hexadecimal");
            v = v * 16 + static_cast<unsigned>(digit);
        }
        return v;
    }
    bool AtEnd() {
        Space();
        return m_i == m_s.size();
    }
    [[noreturn]] void Fail(const std::string& what) {
        throw SqlError("22023", "Invalid database list in dbname: " + what + " at offset " + std::to_string(m_i) + ".");
    }

private:
    std::string_view m_s;
    size_t m_i = 0;
};

}  // namespace

std::vector<DatabaseToAttach> ParseDatabaseList(std::string_view json) {
    JsonReader r(json);
    std::vector<DatabaseToAttach> out;
    r.Expect('[');
    if (!r.Take(']')) {
        do {
            r.Expect('{');
            DatabaseToAttach d;
            bool hasPath = false;
            if (!r.Take('}')) {
                do {
                    std::string key = r.String();
                    r.Expect(':');
                    std::string value = r.String();
                    if (key == "alias") {
                        d.alias = value;
                    } else if (key == "path") {
                        d.path = value, hasPath = true;
                    }
                    // encryption_key and access_mode are accepted and not used by this server
                } while (r.Take(','));
                r.Expect('}');
            }
            if (!hasPath || d.path.empty())
                r.Fail("a database without \"path\"");
            if (d.alias.empty())
                d.alias = PathStem(d.path);
            out.push_back(std::move(d));
        } while (r.Take(','));
        r.Expect(']');
    }
    if (!r.AtEnd())
        r.Fail("trailing text");
    return out;
}

std::string PathStem(const std::string& path) { return std::filesystem::path(path).stem().string(); }

}  // namespace kelvod
