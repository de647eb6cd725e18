#include "ConversionWchar.h"

#include <string.h>

uint32_t convToShortWchar(WCHAR_T** Dest, const wchar_t* Source, uint32_t len)
{
    if (len == 0)
        len = static_cast<uint32_t>(wcslen(Source)) + 1;
    if (*Dest == nullptr)
        *Dest = new WCHAR_T[len];

    WCHAR_T* out = *Dest;
    for (uint32_t i = 0; i < len; ++i)
        out[i] = static_cast<WCHAR_T>(Source[i] & 0xFFFF);
    return len;
}

uint32_t convFromShortWchar(wchar_t** Dest, const WCHAR_T* Source, uint32_t len)
{
    if (len == 0)
        len = getLenShortWcharStr(Source) + 1;
    if (*Dest == nullptr)
        *Dest = new wchar_t[len];

    wchar_t* out = *Dest;
    for (uint32_t i = 0; i < len; ++i)
        out[i] = static_cast<wchar_t>(Source[i]);  // WCHAR_T is unsigned: zero extension
    return len;
}

uint32_t getLenShortWcharStr(const WCHAR_T* Source)
{
    uint32_t n = 0;
    while (Source[n] != 0)
        ++n;
    return n;
}

WcharWrapper::WcharWrapper(const wchar_t* str) : m_str_wchar(nullptr)
{
    if (str == nullptr)
        return;
    size_t n = wcslen(str);
    m_str_wchar = new wchar_t[n + 1]();
    memcpy(m_str_wchar, str, n * sizeof(wchar_t));
}

WcharWrapper::~WcharWrapper()
{
    delete[] m_str_wchar;
    m_str_wchar = nullptr;
}
