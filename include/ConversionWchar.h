// Element-wise copies between host strings (16-bit units) and the platform's
// wide strings (wchar_t: 32 bits on Linux, 16 on Windows).
//
// These are plain unit copies, not UTF conversions: on Linux a wide element
// above 0xFFFF keeps only its low 16 bits, and a host unit is zero-extended.
// Text that must survive intact goes through StrUtils instead.
#ifndef TAVROLINK_CONVERSIONWCHAR_H
#define TAVROLINK_CONVERSIONWCHAR_H

#include <stdint.h>
#include <wchar.h>

#include "types.h"

/// Copies len elements of Source into *Dest, each cut to 16 bits.
/// len 0 means the whole string with its terminator. A null *Dest is
/// allocated with new[] (the caller releases it with delete[]); otherwise it
/// must have room for len units. No terminator is added beyond the len
/// elements copied. Returns len.
uint32_t convToShortWchar(WCHAR_T** Dest, const wchar_t* Source, uint32_t len = 0);

/// The reverse copy: host units zero-extended into wchar_t elements.
uint32_t convFromShortWchar(wchar_t** Dest, const WCHAR_T* Source, uint32_t len = 0);

/// Number of units before the first zero unit.
uint32_t getLenShortWcharStr(const WCHAR_T* Source);

/// Owns a zero-terminated copy of a wide string.
class WcharWrapper {
public:
    explicit WcharWrapper(const wchar_t* str);
    ~WcharWrapper();

    operator const wchar_t*() const { return m_str_wchar; }
    operator wchar_t*() { return m_str_wchar; }

private:
    WcharWrapper(const WcharWrapper&);
    WcharWrapper& operator=(const WcharWrapper&);

    wchar_t* m_str_wchar;
};

#endif
