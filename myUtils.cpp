#include "myUtils.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "utf_codec.h"

StrUtils::StrUtils(const WCHAR_T* str)
{
    if (str == nullptr)
        return;
    m_wcharLen = utf::hostLength(str);
    m_wchar.reset(new WCHAR_T[m_wcharLen + 1]);
    memcpy(m_wchar.get(), str, (m_wcharLen + 1) * sizeof(WCHAR_T));

    const size_t bytes = utf::utf8LengthOf(str, m_wcharLen);
    if (bytes == utf::kInvalid) {
        m_failed = true;
        return;
    }
    m_char.reset(new char[bytes + 1]);
    m_charLen = utf::writeUtf8(str, m_wcharLen, m_char.get());
    m_char[m_charLen] = '\0';
}

StrUtils::StrUtils(const char* str)
{
    if (str != nullptr)
        fromUtf8(str, strlen(str));
}

StrUtils::StrUtils(const char* str, size_t len)
{
    if (str != nullptr)
        fromUtf8(str, len);
}

void StrUtils::fromUtf8(const char* str, size_t len)
{
    m_charLen = len;
    m_char.reset(new char[len + 1]);
    memcpy(m_char.get(), str, len);
    m_char[len] = '\0';

    // A byte never decodes to more than one unit: one pass into a buffer of
    // that bound is cheaper than measuring first.
    m_wchar.reset(new WCHAR_T[len + 1]);
    m_wcharLen = utf::writeUtf16(str, len, m_wchar.get());
    m_wchar[m_wcharLen] = 0;
}

const wchar_t* StrUtils::str_wchar_t()
{
    if (m_wide || !m_wchar)
        return m_wide.get();
    m_wide.reset(new wchar_t[m_wcharLen + 1]);
    size_t out = 0;
    for (size_t i = 0; i < m_wcharLen; ++i) {
        uint32_t u = m_wchar[i];
#if !defined(_WIN32)
        // 32-bit wchar_t holds whole code points: join surrogate pairs.
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < m_wcharLen && m_wchar[i + 1] >= 0xDC00 &&
            m_wchar[i + 1] <= 0xDFFF) {
            u = 0x10000 + ((u - 0xD800) << 10) + (m_wchar[i + 1] - 0xDC00u);
            ++i;
        }
#endif
        m_wide[out++] = static_cast<wchar_t>(u);
    }
    m_wide[out] = 0;
    return m_wide.get();
}

WCHAR_T* StrUtils::alloc_WCHAR_T(IMemoryManager* iMemory) const
{
    if (iMemory == nullptr || !m_wchar)
        return nullptr;
    const size_t bytes = (m_wcharLen + 1) * sizeof(WCHAR_T);
    if (bytes > ULONG_MAX)  // unsigned long is 32 bits on Windows
        return nullptr;
    void* p = nullptr;
    if (!iMemory->AllocMemory(&p, static_cast<unsigned long>(bytes)) || p == nullptr)
        return nullptr;
    memcpy(p, m_wchar.get(), bytes);
    return static_cast<WCHAR_T*>(p);
}

bool StrUtils::pack_WCHAR_T(tVariant* pVar, IMemoryManager* iMemory) const
{
    if (pVar == nullptr || m_wcharLen > UINT32_MAX)
        return false;
    WCHAR_T* copy = alloc_WCHAR_T(iMemory);
    if (copy == nullptr)
        return false;
    pVar->vt = VTYPE_PWSTR;
    pVar->wstrLen = static_cast<uint32_t>(m_wcharLen);
    pVar->pwstrVal = copy;
    return true;
}

std::string str_format(const char* fmt, ...)
{
    // Measure first, then format into a string of exactly that size: no text
    // is ever cut and nothing is written beyond the buffer.
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int needed = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);

    std::string out;
    if (needed > 0) {
        out.resize(static_cast<size_t>(needed));
        vsnprintf(&out[0], out.size() + 1, fmt, again);
    }
    va_end(again);
    return out;
}
