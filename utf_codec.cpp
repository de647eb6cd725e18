#include "utf_codec.h"

#include <string.h>

namespace utf {
namespace {

bool isHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Number of leading units of src[0..n) below 0x80, scanning four at a time.
size_t asciiPrefix16(const WCHAR_T* src, size_t n)
{
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t block;
        memcpy(&block, src + i, sizeof block);
        if (block & 0xFF80FF80FF80FF80ULL)
            break;
    }
    while (i < n && src[i] < 0x80)
        ++i;
    return i;
}

// Number of leading bytes of src[0..n) below 0x80, scanning eight at a time.
size_t asciiPrefix8(const char* src, size_t n)
{
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t block;
        memcpy(&block, src + i, sizeof block);
        if (block & 0x8080808080808080ULL)
            break;
    }
    while (i < n && static_cast<unsigned char>(src[i]) < 0x80)
        ++i;
    return i;
}

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
    size_t bytes = 0;
    size_t i = 0;
    while (i < n) {
        size_t run = asciiPrefix16(src + i, n - i);
        bytes += run;
        i += run;
        if (i == n)
            break;
        const uint32_t u = src[i];
        if (u < 0x800) {
            bytes += 2;
            i += 1;
        } else if (isHighSurrogate(u)) {
            if (i + 1 >= n || !isLowSurrogate(src[i + 1]))
                return kInvalid;
            bytes += 4;
            i += 2;
        } else if (isLowSurrogate(u)) {
            return kInvalid;
        } else {
            bytes += 3;
            i += 1;
        }
    }
    return bytes;
}

size_t writeUtf8(const WCHAR_T* src, size_t n, char* dst)
{
    unsigned char* out = reinterpret_cast<unsigned char*>(dst);
    size_t i = 0;
    while (i < n) {
        const size_t run = asciiPrefix16(src + i, n - i);
        for (size_t k = 0; k < run; ++k)
            out[k] = static_cast<unsigned char>(src[i + k]);
        out += run;
        i += run;
        if (i == n)
            break;
        uint32_t u = src[i];
        if (u < 0x800) {
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

size_t utf16LengthOf(const char* src, size_t n)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    size_t units = 0;
    size_t i = 0;
    while (i < n) {
        const size_t run = asciiPrefix8(src + i, n - i);
        units += run;
        i += run;
        if (i == n)
            break;
        uint32_t cp;
        const size_t len = decodeOne(s, i, n, &cp);
        if (len == 0) {
            units += 1;  // U+FFFD for the offending byte
            i += 1;
        } else {
            units += cp > 0xFFFF ? 2 : 1;
            i += len;
        }
    }
    return units;
}

size_t writeUtf16(const char* src, size_t n, WCHAR_T* dst)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    WCHAR_T* out = dst;
    size_t i = 0;
    while (i < n) {
        const size_t run = asciiPrefix8(src + i, n - i);
        for (size_t k = 0; k < run; ++k)
            out[k] = s[i + k];
        out += run;
        i += run;
        if (i == n)
            break;
        uint32_t cp;
        const size_t len = decodeOne(s, i, n, &cp);
        if (len == 0) {
            *out++ = 0xFFFD;
            i += 1;
        } else if (cp > 0xFFFF) {
            cp -= 0x10000;
            *out++ = static_cast<WCHAR_T>(0xD800 + (cp >> 10));
            *out++ = static_cast<WCHAR_T>(0xDC00 + (cp & 0x3FF));
            i += len;
        } else {
            *out++ = static_cast<WCHAR_T>(cp);
            i += len;
        }
    }
    return static_cast<size_t>(out - dst);
}

size_t hostLength(const WCHAR_T* s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

}  // namespace utf
