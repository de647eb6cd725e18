#include "text.h"

#include <stdio.h>

namespace cli {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes the well-formed sequence at the start of p[0..n) into *cp and
// returns its length, or returns 0 when there is none there. The ranges of the
// second byte exclude overlong forms, surrogates and values above U+10FFFF.
size_t decodeOne(const unsigned char* p, size_t n, uint32_t* cp)
{
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        *cp = lead;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        *cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        *cp = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        *cp = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (n < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (!isContinuation(p[i]))
            return 0;
        *cp = (*cp << 6) | (p[i] & 0x3F);
    }
    return length;
}

void appendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Walks count units as code points: f(cp, paired) for each, where an unpaired
// surrogate comes as itself with paired false.
template <class F>
void forEachCodePoint(const uint16_t* units, size_t count, F&& f)
{
    for (size_t i = 0; i < count; ++i) {
        const uint32_t u = units[i];
        if (isHighSurrogate(u) && i + 1 < count && isLowSurrogate(units[i + 1])) {
            f(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u), true);
            ++i;
        } else {
            f(u, !isHighSurrogate(u) && !isLowSurrogate(u));
        }
    }
}

}  // namespace

size_t findInvalidUtf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        const size_t length = decodeOne(p + i, n - i, &cp);
        if (length == 0)
            return i;
        i += length;
    }
    return std::string_view::npos;
}

Units utf8ToUtf16(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    Units out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        size_t length = decodeOne(p + i, n - i, &cp);
        if (length == 0) {
            cp = kReplacement;
            length = 1;
        }
        i += length;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
    }
    return out;
}

std::string utf16ToUtf8(const uint16_t* units, size_t count)
{
    std::string out;
    if (units == nullptr)
        return out;
    out.reserve(count);
    forEachCodePoint(units, count,
                     [&](uint32_t cp, bool valid) { appendUtf8(out, valid ? cp : kReplacement); });
    return out;
}

size_t unpairedSurrogates(const uint16_t* units, size_t count)
{
    size_t unpaired = 0;
    if (units != nullptr)
        forEachCodePoint(units, count, [&](uint32_t, bool valid) { unpaired += valid ? 0 : 1; });
    return unpaired;
}

std::vector<std::string_view> splitPackages(std::string_view text, size_t maxBytes)
{
    std::vector<std::string_view> packages;
    if (maxBytes < 4)
        maxBytes = 4;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start + maxBytes;
        if (end >= text.size()) {
            end = text.size();
        } else {
            // Back off over at most three continuation bytes, to the first byte
            // of the sequence that the cut would split. Malformed text without
            // a lead byte that close is cut where it is.
            size_t back = end;
            while (back > start && end - back < 3 &&
                   isContinuation(static_cast<unsigned char>(text[back])))
                --back;
            if (back > start && !isContinuation(static_cast<unsigned char>(text[back])))
                end = back;
        }
        packages.push_back(text.substr(start, end - start));
        start = end;
    }
    return packages;
}

std::string xmlAttribute(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string connectionParameters(std::string_view address)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Parameters><Parameter Name=\"Address\" "
           "Value=\"" +
           xmlAttribute(address) + "\"/></Parameters>";
}

size_t codePoints(std::string_view text)
{
    size_t count = 0;
    for (char c : text) {
        if (!isContinuation(static_cast<unsigned char>(c)))
            ++count;
    }
    return count;
}

std::string quoted(const uint16_t* units, size_t count)
{
    std::string out = "\"";
    if (units != nullptr) {
        forEachCodePoint(units, count, [&](uint32_t cp, bool valid) {
            char escape[12];
            if (!valid) {
                snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(cp));
                out += escape;
            } else if (cp == '"' || cp == '\\') {
                out += '\\';
                out += static_cast<char>(cp);
            } else if (cp == '\n') {
                out += "\\n";
            } else if (cp == '\r') {
                out += "\\r";
            } else if (cp == '\t') {
                out += "\\t";
            } else if (cp < 0x20 || cp == 0x7F) {
                snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(cp));
                out += escape;
            } else {
                appendUtf8(out, cp);
            }
        });
    }
    out += '"';
    return out;
}

}  // namespace cli
