#include "platform/registry-file.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/hexdigit.h"

namespace orvex {

namespace {

constexpr std::string_view Header = "REGEDIT4";
constexpr std::string_view RootName = "HKEY_LOCAL_MACHINE";
// Hex lists are wrapped before this column, as editors expect.
constexpr size_t WrapColumn = 76;

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}
std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}
std::string_view Trim(std::string_view s) {
    return TrimLeft(TrimRight(s));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// 1 to maxDigits hex digits, nothing else.
std::optional<uint32_t> ParseHex(std::string_view s, size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits)
        return std::nullopt;
    uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0)
            return std::nullopt;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

// And UTF-16 is representable exactly when it survives the other trip.
bool ValidUtf16(std::u16string_view s) {
    return Utf8ToUtf16(Utf16ToUtf8(s)) == s;
}

std::vector<uint8_t> StringData(std::u16string_view s) {
    std::vector<uint8_t> b;
    b.reserve(s.size() * 2 + 2);
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c & 0xFF));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    return b;
}

std::string LineError(size_t line, std::string_view what) {
    return "line " + std::to_string(line) + ": " + std::string(what);
}

// Reads a quoted string at the start of s (which begins with '"'). The only
// escapes are a doubled backslash and a backslash before a quote. Returns the text and sets *rest
// to what follows the closing quote; an empty optional with *why set on failure.
std::optional<std::string> ReadQuoted(std::string_view s, std::string_view* rest,
                                      std::string* why) {
    std::string text;
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            *rest = s.substr(i + 1);
            return text;
        }
        if (c == '\\') {
            if (i + 1 >= s.size())
                break;
            char e = s[++i];
            if (e != '\\' && e != '"') {
                *why = std::string("unknown escape \\") + e;
                return std::nullopt;
            }
            text.push_back(e);
            continue;
        }
        text.push_back(c);
    }
    *why = "unterminated string";
    return std::nullopt;
}

// The key path inside [ ] (after an optional '-'): HKEY_LOCAL_MACHINE, then
// backslash-separated names, none of them empty.
bool ParseSectionPath(std::string_view path, std::u16string* below, std::string* why) {
    if (!StartsWithNoCase(path, RootName)) {
        *why = "only keys under HKEY_LOCAL_MACHINE are supported";
        return false;
    }
    std::string_view rest = path.substr(RootName.size());
    if (rest.empty()) {
        below->clear();
        return true;
    }
    if (rest.front() != '\\') {
        *why = "only keys under HKEY_LOCAL_MACHINE are supported";
        return false;
    }
    rest.remove_prefix(1);
    size_t start = 0;
    while (true) {
        size_t end = rest.find('\\', start);
        std::string_view part =
            rest.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty()) {
            *why = "empty key name in path";
            return false;
        }
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    if (!CheckRegKeyPath(rest, why))
        return false;
    *below = Utf8ToUtf16(rest);
    return true;
}

struct Segment {
    std::string_view Text;
    size_t Line;
};

// The bytes of a hex list that may continue over several lines.
bool ParseHexList(const std::vector<Segment>& segments, std::vector<uint8_t>* out,
                  std::string* error) {
    for (size_t s = 0; s < segments.size(); ++s) {
        std::string_view text = TrimRight(segments[s].Text);
        bool continued = s + 1 < segments.size();
        if (continued)
            text.remove_suffix(1);  // the backslash
        text = Trim(text);
        if (text.empty())
            continue;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(',', start);
            std::string_view tok =
                Trim(text.substr(start, end == std::string_view::npos ? end : end - start));
            bool last = end == std::string_view::npos;
            if (tok.empty()) {
                // "01,02,\" ends its line with a comma; nowhere else may a
                // byte be missing.
                if (!(last && continued && start > 0)) {
                    *error = LineError(segments[s].Line, "missing byte in hex list");
                    return false;
                }
            } else {
                auto v = ParseHex(tok, 2);
                if (!v) {
                    *error = LineError(segments[s].Line,
                                       "bad byte \"" + std::string(tok) + "\" in hex list");
                    return false;
                }
                out->push_back(static_cast<uint8_t>(*v));
            }
            if (last)
                break;
            start = end + 1;
        }
    }
    return true;
}

class Parser {
  public:
    Parser(std::string_view text, std::vector<RegFileOp>* ops, std::string* error)
        : Ops_(ops), Error_(error) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos)
                end = text.size();
            Lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool Run() {
        for (size_t n = 0; n < Lines_.size(); ++n) {
            if (Lines_[n].size() > MaxRegLineBytes)
                return Fail(n + 1, "longer than 1 MiB");
        }
        size_t i = 0;
        while (i < Lines_.size() && Trim(Lines_[i]).empty())
            ++i;
        if (i == Lines_.size() || Trim(Lines_[i]) != Header)
            return Fail(i < Lines_.size() ? i + 1 : Lines_.size() + 1,
                        "expected the header line REGEDIT4");
        for (++i; i < Lines_.size(); ++i) {
            std::string_view line = Trim(Lines_[i]);
            size_t number = i + 1;
            if (line.empty() || line.front() == ';')
                continue;
            if (line.front() == '[') {
                if (!Section(line, number))
                    return false;
            } else if (line.front() == '"' || line.front() == '@') {
                if (!ValueLine(line, number, &i))
                    return false;
            } else {
                return Fail(number, "unrecognised line");
            }
        }
        return true;
    }

  private:
    bool Fail(size_t line, std::string_view what) {
        *Error_ = LineError(line, what);
        return false;
    }

    bool Section(std::string_view line, size_t number) {
        if (line.back() != ']')
            return Fail(number, "key line lacks its closing ]");
        std::string_view inner = line.substr(1, line.size() - 2);
        bool remove = !inner.empty() && inner.front() == '-';
        if (remove)
            inner.remove_prefix(1);
        std::u16string below;
        std::string why;
        if (!ParseSectionPath(inner, &below, &why))
            return Fail(number, why);
        RegFileOp op;
        op.Line = number;
        op.Key = below;
        if (remove) {
            if (below.empty())
                return Fail(number, "HKEY_LOCAL_MACHINE itself cannot be deleted");
            op.What = RegFileOp::DeleteKey;
            Current_.reset();
        } else {
            op.What = RegFileOp::CreateKey;
            Current_ = below;
        }
        Ops_->push_back(std::move(op));
        return true;
    }

    bool ValueLine(std::string_view line, size_t number, size_t* index) {
        if (!Current_)
            return Fail(number, "value outside of a key");
        RegFileOp op;
        op.Line = number;
        op.Key = *Current_;
        std::string_view rest;
        if (line.front() == '@') {
            rest = line.substr(1);
        } else {
            std::string why;
            auto name = ReadQuoted(line, &rest, &why);
            if (!name)
                return Fail(number, why);
            std::string bad;
            if (!CheckRegName(*name, "value name", &bad))
                return Fail(number, bad);
            op.Name = Utf8ToUtf16(*name);
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return Fail(number, "expected = after the name");
        rest = TrimLeft(rest.substr(1));

        if (rest == "-") {
            op.What = RegFileOp::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            std::string_view after;
            std::string why;
            auto text = ReadQuoted(rest, &after, &why);
            if (!text)
                return Fail(number, why);
            if (!Trim(after).empty())
                return Fail(number, "unexpected text after the string");
            if (!IsValidUtf8(*text))
                return Fail(number, "string is not valid UTF-8");
            op.What = RegFileOp::SetValue;
            op.Type = REG_SZ;
            op.Data = StringData(Utf8ToUtf16(*text));
        } else if (StartsWithNoCase(rest, "dword:")) {
            auto v = ParseHex(Trim(rest.substr(6)), 8);
            if (!v)
                return Fail(number, "dword needs 1 to 8 hex digits");
            op.What = RegFileOp::SetValue;
            op.Type = REG_DWORD;
            op.Data.resize(4);
            for (int b = 0; b < 4; ++b)
                op.Data[b] = static_cast<uint8_t>(*v >> (8 * b));
        } else if (StartsWithNoCase(rest, "hex")) {
            std::string_view typeText = rest.substr(3);
            uint32_t type = REG_BINARY;
            if (!typeText.empty() && typeText.front() == '(') {
                size_t close = typeText.find(')');
                if (close == std::string_view::npos)
                    return Fail(number, "hex( lacks its )");
                auto t = ParseHex(typeText.substr(1, close - 1), 8);
                if (!t)
                    return Fail(number, "bad type number in hex(...)");
                type = *t;
                typeText.remove_prefix(close + 1);
            }
            if (typeText.empty() || typeText.front() != ':')
                return Fail(number, "expected : after hex");
            std::vector<Segment> segments{{typeText.substr(1), number}};
            while (!TrimRight(segments.back().Text).empty() &&
                   TrimRight(segments.back().Text).back() == '\\') {
                if (*index + 1 >= Lines_.size())
                    return Fail(number, "hex list continues past the end of the file");
                ++*index;
                segments.push_back({Lines_[*index], *index + 1});
            }
            op.What = RegFileOp::SetValue;
            op.Type = type;
            if (!ParseHexList(segments, &op.Data, Error_))
                return false;
        } else {
            return Fail(number, "unrecognised value data");
        }
        Ops_->push_back(std::move(op));
        return true;
    }

    std::vector<std::string_view> Lines_;
    std::vector<RegFileOp>* Ops_;
    std::string* Error_;
    std::optional<std::u16string> Current_;  // the key values go to; none after [-KEY]
};

// ---- export

void AppendEscaped(std::string* out, std::string_view text) {
    for (char c : text) {
        if (c == '\\' || c == '"')
            out->push_back('\\');
        out->push_back(c);
    }
}

bool HasLineBreak(std::u16string_view s) {
    return s.find_first_of(u"\r\n") != std::u16string_view::npos;
}
// Nor can a file carry a NUL inside a name.
bool Unwritable(std::u16string_view name) {
    return HasLineBreak(name) || name.find(u'\0') != std::u16string_view::npos || !ValidUtf16(name);
}

// A REG_SZ value is written as "text" when reading that text back gives
// exactly the same bytes: whole UTF-16 units, one terminating zero at the
// end and nowhere else, and nothing a line of the file cannot hold.
std::optional<std::u16string> PlainString(const Registry::Value& v) {
    if (v.Type != REG_SZ || v.Data.size() < 2 || v.Data.size() % 2 != 0)
        return std::nullopt;
    std::u16string s;
    for (size_t i = 0; i + 1 < v.Data.size(); i += 2)
        s.push_back(static_cast<char16_t>(v.Data[i] | (v.Data[i + 1] << 8)));
    if (s.back() != u'\0')
        return std::nullopt;
    s.pop_back();
    if (s.find(u'\0') != std::u16string::npos || HasLineBreak(s) || !ValidUtf16(s))
        return std::nullopt;
    return s;
}

void AppendHexList(std::string* line, const std::vector<uint8_t>& data) {
    size_t column = line->size();
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        bool more = i + 1 < data.size();
        line->append(byte);
        column += 2;
        if (more) {
            line->push_back(',');
            ++column;
            if (column + 3 > WrapColumn) {
                line->append("\\\n  ");
                column = 2;
            }
        }
    }
}

// One key's section: its values, or nothing for a bare key when asked.
bool ExportSection(Registry& reg, RegKey key, const std::u16string& path, bool skipIfBare,
                   std::string* out, std::string* error) {
    std::vector<Registry::Value> values;
    if (uint32_t e = reg.EnumValues(key, &values)) {
        *error =
            "cannot read the values of " + Utf16ToUtf8(path) + " (error " + std::to_string(e) + ")";
        return false;
    }
    if (skipIfBare && values.empty())
        return true;
    if (Unwritable(path)) {
        *error = "key name cannot be written to a file: " + Utf16ToUtf8(path);
        return false;
    }
    std::string section = "[" + std::string(RootName);
    if (!path.empty())
        section += "\\" + Utf16ToUtf8(path);
    section += "]\n";
    for (const auto& v : values) {
        std::string line;
        if (!FormatRegValue(v, &line)) {
            *error = "value name cannot be written to a file: " + Utf16ToUtf8(v.Name) + " in " +
                     Utf16ToUtf8(path);
            return false;
        }
        section += line + "\n";
    }
    section += "\n";
    out->append(section);
    return true;
}

// Every key below (and including) key, parents before children. The walk
// keeps its own stack: a chain of keys thousands deep must not exhaust the
// thread's.
bool ExportTree(Registry& reg, RegKey top, std::u16string path, bool skipIfBare, std::string* out,
                std::string* error) {
    struct Level {
        RegKey Key;
        size_t PathLength;
        std::vector<std::u16string> SubKeys;
        size_t Next = 0;
    };
    std::vector<Level> stack;
    auto closeAll = [&] {
        for (const auto& l : stack) {
            if (l.Key != top)
                (void)reg.CloseKey(l.Key);  // our own handles; a failing close cannot matter
        }
    };
    auto enter = [&](RegKey key, bool bare) {
        stack.push_back({key, path.size(), {}, 0});
        if (!ExportSection(reg, key, path, bare, out, error))
            return false;
        if (uint32_t e = reg.EnumSubKeys(key, &stack.back().SubKeys)) {
            *error = "cannot list the subkeys of " + Utf16ToUtf8(path) + " (error " +
                     std::to_string(e) + ")";
            return false;
        }
        return true;
    };
    bool ok = enter(top, skipIfBare);
    while (ok && !stack.empty()) {
        Level& level = stack.back();
        if (level.Next == level.SubKeys.size()) {
            if (level.Key != top)
                (void)reg.CloseKey(level.Key);
            stack.pop_back();
            if (!stack.empty())
                path.resize(stack.back().PathLength);
            continue;
        }
        const std::u16string& name = level.SubKeys[level.Next++];
        RegKey child = 0;
        if (uint32_t e = reg.OpenKey(level.Key, name, KEY_ALL_ACCESS, &child)) {
            *error = "cannot open " + Utf16ToUtf8(path) + "\\" + Utf16ToUtf8(name) + " (error " +
                     std::to_string(e) + ")";
            ok = false;
            break;
        }
        if (!path.empty())
            path += u"\\";
        path += name;
        ok = enter(child, false);
    }
    closeAll();
    return ok;
}

}  // namespace

bool ParseRegText(std::string_view text, std::vector<RegFileOp>* ops, std::string* error) {
    std::vector<RegFileOp> parsed;
    std::string why;
    Parser p(text, &parsed, &why);
    if (!p.Run()) {
        if (error)
            *error = why;
        ops->clear();
        return false;
    }
    *ops = std::move(parsed);
    return true;
}

bool ImportRegText(Registry& reg, std::string_view text, std::string* error,
                   ImportExisting existing) {
    const bool keep = existing == ImportExisting::Keep;
    std::string why;
    auto fail = [&](std::string what) {
        if (error)
            *error = std::move(what);
        return false;
    };
    std::vector<RegFileOp> ops;
    if (!ParseRegText(text, &ops, &why))
        return fail(why);

    RegistryWriteGroup group(reg);
    if (!group.IsOpen())  // without a group the import could stop half way
        return fail("cannot start the import (error " + std::to_string(group.BeginError()) + ")");
    for (const auto& op : ops) {
        const char* what = "";
        uint32_t r = ERROR_SUCCESS;
        RegKey key = 0;
        switch (op.What) {
            case RegFileOp::CreateKey:
                what = "creating the key";
                r = reg.CreateKey(HKEY_LOCAL_MACHINE, op.Key, &key);
                if (r == ERROR_SUCCESS)
                    (void)reg.CloseKey(key);  // only wanted it to exist
                break;
            case RegFileOp::DeleteKey:
                if (keep)
                    break;
                what = "deleting the key";
                r = reg.DeleteKey(HKEY_LOCAL_MACHINE, op.Key);
                if (r == ERROR_FILE_NOT_FOUND)
                    r = ERROR_SUCCESS;  // already gone
                break;
            case RegFileOp::SetValue:
            case RegFileOp::DeleteValue:
                if (keep && op.What == RegFileOp::DeleteValue)
                    break;
                what = op.What == RegFileOp::SetValue ? "setting the value" : "deleting the value";
                r = reg.OpenKey(HKEY_LOCAL_MACHINE, op.Key, KEY_ALL_ACCESS, &key);
                if (r != ERROR_SUCCESS)
                    break;
                if (keep &&
                    reg.QueryValue(key, op.Name, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
                    // held already: left as it is
                } else if (op.What == RegFileOp::SetValue) {
                    r = reg.SetValue(key, op.Name, op.Type, op.Data.data(),
                                     static_cast<uint32_t>(op.Data.size()));
                } else {
                    r = reg.DeleteValue(key, op.Name);
                    if (r == ERROR_FILE_NOT_FOUND)
                        r = ERROR_SUCCESS;  // already gone
                }
                (void)reg.CloseKey(key);  // our own handle
                break;
        }
        if (r != ERROR_SUCCESS)
            return fail(LineError(op.Line, std::string(what) + " failed (error " +
                                               std::to_string(r) + "); nothing was imported"));
    }
    if (uint32_t r = group.Commit())
        return fail("the import could not be committed (error " + std::to_string(r) +
                    "); nothing was imported");
    return true;
}

bool ExportRegText(Registry& reg, std::u16string_view keyPath, std::string* out,
                   std::string* error) {
    std::string why;
    std::string text(Header);
    text += "\n\n";
    RegKey key = 0;
    if (uint32_t e = reg.OpenKey(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &key)) {
        if (error)
            *error = "cannot open " + std::string(RootName) +
                     (keyPath.empty() ? "" : "\\" + Utf16ToUtf8(keyPath)) + " (error " +
                     std::to_string(e) + ")";
        return false;
    }
    // The root always exists; it gets a section only when it holds values.
    std::u16string path(keyPath);
    while (!path.empty() && path.back() == u'\\')
        path.pop_back();
    while (!path.empty() && path.front() == u'\\')
        path.erase(0, 1);
    bool ok = ExportTree(reg, key, path, path.empty(), &text, &why);
    (void)reg.CloseKey(key);  // our own handle
    if (!ok) {
        if (error)
            *error = why;
        return false;
    }
    *out = std::move(text);
    return true;
}

bool FormatRegValue(const Registry::Value& v, std::string* line) {
    if (Unwritable(v.Name))
        return false;
    std::string s;
    if (v.Name.empty()) {
        s = "@=";
    } else {
        s = "\"";
        AppendEscaped(&s, Utf16ToUtf8(v.Name));
        s += "\"=";
    }
    if (auto text = PlainString(v)) {
        s += "\"";
        AppendEscaped(&s, Utf16ToUtf8(*text));
        s += "\"";
    } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
        char dword[16];
        uint32_t n = static_cast<uint32_t>(v.Data[0]) | (static_cast<uint32_t>(v.Data[1]) << 8) |
                     (static_cast<uint32_t>(v.Data[2]) << 16) |
                     (static_cast<uint32_t>(v.Data[3]) << 24);
        std::snprintf(dword, sizeof dword, "dword:%08x", n);
        s += dword;
    } else {
        if (v.Type == REG_BINARY) {
            s += "hex:";
        } else {
            char prefix[24];
            std::snprintf(prefix, sizeof prefix, "hex(%x):", v.Type);
            s += prefix;
        }
        AppendHexList(&s, v.Data);
    }
    *line = std::move(s);
    return true;
}

bool KeyBelowRoot(std::string_view path, std::u16string* below) {
    std::string_view rest = path;
    for (std::string_view root : {RootName, std::string_view("HKLM")}) {
        if (StartsWithNoCase(rest, root) &&
            (rest.size() == root.size() || rest[root.size()] == '\\')) {
            rest.remove_prefix(std::min(rest.size(), root.size() + 1));
            *below = Utf8ToUtf16(rest);
            return true;
        }
    }
    if (StartsWithNoCase(rest, "HKEY_"))
        return false;  // some other root
    *below = Utf8ToUtf16(rest);
    return true;
}

bool IsValidUtf8(std::string_view s) {
    // Valid exactly when the text survives the trip through UTF-16.
    return Utf16ToUtf8(Utf8ToUtf16(s)) == s;
}

bool CheckRegName(std::string_view name, std::string_view what, std::string* why) {
    // A name with a line break or a NUL could never be exported again.
    if (name.find_first_of("\r\n") != std::string_view::npos)
        *why = "line break in a " + std::string(what);
    else if (name.find('\0') != std::string_view::npos)
        *why = "NUL in a " + std::string(what);
    else if (!IsValidUtf8(name))
        *why = std::string(what) + " is not valid UTF-8";
    else
        return true;
    return false;
}

bool CheckRegKeyPath(std::string_view path, std::string* why) {
    if (!CheckRegName(path, "key name", why))
        return false;
    size_t depth = 0;
    for (size_t start = 0; start <= path.size();) {
        size_t end = std::min(path.find('\\', start), path.size());
        if (end > start)
            ++depth;
        start = end + 1;
    }
    if (depth > MaxKeyDepth) {
        *why = "key path deeper than " + std::to_string(MaxKeyDepth) + " levels";
        return false;
    }
    return true;
}

bool ReadRegText(std::istream& in, std::string* text, std::string* error) {
    std::string all;
    std::vector<char> chunk(64 * 1024);
    size_t line = 1, lineBytes = 0;
    bool headerSeen = false;
    for (;;) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0)
            break;
        if (all.size() + got > MaxRegFileBytes) {
            *error = "larger than " + std::to_string(MaxRegFileBytes / (1024 * 1024)) + " MiB";
            return false;
        }
        for (size_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                ++line;
                lineBytes = 0;
            } else if (++lineBytes > MaxRegLineBytes) {
                *error = LineError(line, "longer than 1 MiB");
                return false;
            }
        }
        all.append(chunk.data(), got);
        if (!headerSeen) {
            // Whatever leads up to the header, the header must be next.
            std::string_view v = all;
            if (v.substr(0, 3) == "\xEF\xBB\xBF")
                v.remove_prefix(3);
            const size_t first = v.find_first_not_of(" \t\r\n");
            if (first != std::string_view::npos) {
                const std::string_view start = v.substr(first, Header.size());
                if (start != Header.substr(0, start.size())) {
                    *error = "not a registry file: it does not begin with " + std::string(Header);
                    return false;
                }
                headerSeen = start.size() == Header.size();
            }
        }
    }
    if (in.bad()) {
        *error = "cannot read";
        return false;
    }
    *text = std::move(all);
    return true;
}

}  // namespace orvex
