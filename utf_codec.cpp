#include "utf_codec.h"

#include <string.h>

namespace utf {
namespace {

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Decodes one well-formed UTF-8 sequence at src[i..n). Returns its length
// (1 to 4) and the code point, or 0 when the bytes there are not one.
size_t decodeOne(const unsigned char* src, size_t i, size_t n, uint32_t* cp)
{
    const unsigned char b0 = src[i];
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t len;
    uint32_t value;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte (RFC 3629 table)
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        value = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;  // no overlong forms
        else if (b0 == 0xED)
            hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        value = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (n - i < len)
        return 0;
    if (src[i + 1] < lo || src[i + 1] > hi)
        return 0;
    value = (value << 6) | (src[i + 1] & 0x3F);
    for (size_t k = 2; k < len; ++k) {
        if ((src[i + k] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (src[i + k] & 0x3F);
    }
    *cp = value;
    return len;
}

}  // namespace

size_t utf8LengthOf(const WCHAR_T* src, size_t n)
{
    // Each unit takes 1, 2 or 3 bytes; the two units of a surrogate pair take
    // 4 together, so every surrogate unit counts one byte less than 3. The
    // loop has no branches and vectorises; the pairing is checked only when
    // surrogates are present at all.
    size_t bytes = 0;
    size_t surrogates = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t u = src[i];
        bytes += 1 + (u >= 0x80) + (u >= 0x800);
        surrogates += (u & 0xF800) == 0xD800;
    }
    if (surrogates == 0)
        return bytes;
    for (size_t i = 0; i < n; ++i) {
        if (isHighSurrogate(src[i])) {
            if (i + 1 >= n || !isLowSurrogate(src[i + 1]))
                return kInvalid;
            ++i;
        } else if (isLowSurrogate(src[i])) {
            return kInvalid;
        }
    }
    return bytes - surrogates;
}

size_t writeUtf8(const WCHAR_T* src, size_t n, char* dst)
{
    unsigned char* out = reinterpret_cast<unsigned char*>(dst);
    size_t i = 0;
    while (i < n) {
        // Four ASCII units at a time while they last.
        if (i + 4 <= n) {
            uint64_t block;
            memcpy(&block, src + i, sizeof block);
            if ((block & 0xFF80FF80FF80FF80ULL) == 0) {
                out[0] = static_cast<unsigned char>(src[i]);
                out[1] = static_cast<unsigned char>(src[i + 1]);
                out[2] = static_cast<unsigned char>(src[i + 2]);
                out[3] = static_cast<unsigned char>(src[i + 3]);
                out += 4;
                i += 4;
                continue;
            }
        }
        const uint32_t u = src[i];
        if (u < 0x80) {
            *out++ = static_cast<unsigned char>(u);
            i += 1;
        } else if (u < 0x800) {
            out[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
            out[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
            out += 2;
            i += 1;
        } else if (isHighSurrogate(u)) {
            const uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (src[i + 1] - 0xDC00u);
            out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            out += 4;
            i += 2;
        } else {
            out[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
            out[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
            out += 3;
            i += 1;
        }
    }
    return static_cast<size_t>(out - reinterpret_cast<unsigned char*>(dst));
}

namespace {

// Decodes src[0..n) into dst (which may be null to only count). Returns the
// number of units.
size_t decodeUtf8(const unsigned char* s, size_t n, WCHAR_T* dst)
{
    size_t units = 0;
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time while they last.
        if (i + 8 <= n) {
            uint64_t block;
            memcpy(&block, s + i, sizeof block);
            if ((block & 0x8080808080808080ULL) == 0) {
                if (dst != nullptr) {
                    for (size_t k = 0; k < 8; ++k)
                        dst[units + k] = s[i + k];
                }
                units += 8;
                i += 8;
                continue;
            }
        }
        const unsigned char b0 = s[i];
        uint32_t cp;
        size_t len;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
            // Two-byte sequences (Cyrillic) decoded inline.
            cp = ((b0 & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            len = 2;
        } else {
            len = decodeOne(s, i, n, &cp);
            if (len == 0) {
                cp = 0xFFFD;  // one replacement per offending byte
                len = 1;
            }
        }
        i += len;
        if (cp > 0xFFFF) {
            if (dst != nullptr) {
                dst[units] = static_cast<WCHAR_T>(0xD800 + ((cp - 0x10000) >> 10));
                dst[units + 1] = static_cast<WCHAR_T>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
            units += 2;
        } else {
            if (dst != nullptr)
                dst[units] = static_cast<WCHAR_T>(cp);
            units += 1;
        }
    }
    return units;
}

}  // namespace

size_t utf16LengthOf(const char* src, size_t n)
{
    return decodeUtf8(reinterpret_cast<const unsigned char*>(src), n, nullptr);
}

size_t writeUtf16(const char* src, size_t n, WCHAR_T* dst)
{
    return decodeUtf8(reinterpret_cast<const unsigned char*>(src), n, dst);
}

size_t hostLength(const WCHAR_T* s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

}  // namespace utf
