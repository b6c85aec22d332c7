#include "runner/json.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Reader {
    const std::string &text;
    size_t at = 0;

    void Skip()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            at++;
    }
    bool Take(char c)
    {
        Skip();
        if (at >= text.size() || text[at] != c)
            return false;
        at++;
        return true;
    }
    bool Word(const char *word)
    {
        Skip();
        std::string expected(word);
        if (text.compare(at, expected.size(), expected) != 0)
            return false;
        at += expected.size();
        return true;
    }
};

void AppendUtf8(unsigned code, std::string &out)
{
    if (code < 0x80) {
        out += (char)code;
    } else if (code < 0x800) {
        out += (char)(0xC0 | (code >> 6));
        out += (char)(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += (char)(0xE0 | (code >> 12));
        out += (char)(0x80 | ((code >> 6) & 0x3F));
        out += (char)(0x80 | (code & 0x3F));
    } else {
        out += (char)(0xF0 | (code >> 18));
        out += (char)(0x80 | ((code >> 12) & 0x3F));
        out += (char)(0x80 | ((code >> 6) & 0x3F));
        out += (char)(0x80 | (code & 0x3F));
    }
}

// Four hex digits after \u at r.at; false when they are not there.
bool Hex4(Reader &r, unsigned &code)
{
    if (r.at + 4 > r.text.size())
        return false;
    code = 0;
    for (int i = 0; i < 4; i++) {
        char c = r.text[r.at++];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return false;
        code = code << 4 | (unsigned)digit;
    }
    return true;
}

// The character of a \u escape, r.at just past the u: a high surrogate takes the low one that
// must follow as \uDC00 to \uDFFF.
bool Unicode(Reader &r, std::string &out)
{
    unsigned code;
    if (!Hex4(r, code))
        return false;
    if (code >= 0xD800 && code < 0xDC00 && r.text.compare(r.at, 2, "\\u") == 0) {
        Reader low{r.text, r.at + 2};
        unsigned second;
        if (Hex4(low, second) && second >= 0xDC00 && second < 0xE000) {
            r.at = low.at;
            AppendUtf8(0x10000 + ((code - 0xD800) << 10) + (second - 0xDC00), out);
            return true;
        }
    }
    AppendUtf8(code >= 0xD800 && code < 0xE000 ? 0xFFFD : code, out);
    return true;
}

bool String(Reader &r, std::string &out)
{
    if (!r.Take('"'))
        return false;
    out.clear();
    while (r.at < r.text.size()) {
        char c = r.text[r.at++];
        if (c == '"')
            return true;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (r.at >= r.text.size())
            return false;
        switch (char e = r.text[r.at++]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u':
            if (!Unicode(r, out))
                return false;
            break;
        case '"': case '\\': case '/': out += e; break;
        default: return false;
        }
    }
    return false;
}

bool Number(Reader &r, double &number)
{
    r.Skip();
    const char *start = r.text.c_str() + r.at;
    char *end = nullptr;
    number = std::strtod(start, &end);
    if (end == start || (*start != '-' && (*start < '0' || *start > '9')))
        return false;
    r.at += end - start;
    return true;
}

bool Strings(Reader &r, std::vector<std::string> &items)
{
    if (!r.Take('['))
        return false;
    if (r.Take(']'))
        return true;
    do {
        items.emplace_back();
        if (!String(r, items.back()))
            return false;
    } while (r.Take(','));
    return r.Take(']');
}

bool Value(Reader &r, JsonValue &value)
{
    r.Skip();
    char c = r.at < r.text.size() ? r.text[r.at] : 0;
    if (c == '"') {
        value.kind = JsonValue::kString;
        return String(r, value.text);
    }
    if (c == '[') {
        value.kind = JsonValue::kArray;
        return Strings(r, value.items);
    }
    value.kind = JsonValue::kBool;
    if (r.Word("true"))
        return value.flag = true;
    if (r.Word("false"))
        return true;
    value.kind = JsonValue::kNull;
    if (r.Word("null"))
        return true;
    value.kind = JsonValue::kNumber;
    return Number(r, value.number);
}

} // namespace

std::string JsonString(const std::string &bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

bool ParseJsonObject(const std::string &line, JsonObject &object)
{
    Reader r{line};
    object.clear();
    if (!r.Take('{'))
        return false;
    if (!r.Take('}')) {
        do {
            std::string key;
            JsonValue value;
            if (!String(r, key) || !r.Take(':') || !Value(r, value))
                return false;
            object[key] = value;
        } while (r.Take(','));
        if (!r.Take('}'))
            return false;
    }
    r.Skip();
    return r.at == line.size();
}

const std::string &TextOf(const JsonObject &object, const std::string &key)
{
    static const std::string none;
    auto found = object.find(key);
    return found != object.end() && found->second.kind == JsonValue::kString ? found->second.text
                                                                             : none;
}
