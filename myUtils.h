// StrUtils: one piece of text in the forms the component needs.
//
// Built from a host string (UTF-16) or a byte string (UTF-8), it holds both
// forms, converted directly into exactly sized buffers that it owns and
// releases. Pointers read from it are valid while it lives, so a caller keeps
// the StrUtils alive while it uses them. The wide (wchar_t) form is built only
// when asked for.
//
// A host string that is not valid UTF-16 (an unpaired surrogate) cannot be
// converted: the object then reports failed() and holds no UTF-8 form. Nothing
// here throws except std::bad_alloc when memory runs out.
#ifndef TAVROLINK_MYUTILS_H
#define TAVROLINK_MYUTILS_H

#include <stddef.h>

#include <memory>
#include <string>

#include "include/IMemoryManager.h"
#include "include/types.h"

class StrUtils {
public:
    /// From a zero-terminated host string; null gives an object without text.
    explicit StrUtils(const WCHAR_T* str);
    /// From a zero-terminated UTF-8 byte string; null gives an object without text.
    explicit StrUtils(const char* str);
    /// From len bytes of UTF-8 (which need not be zero-terminated).
    StrUtils(const char* str, size_t len);

    StrUtils(const StrUtils&) = delete;
    StrUtils& operator=(const StrUtils&) = delete;

    /// The host string, zero-terminated; null without text.
    const WCHAR_T* str_WCHAR_T() const { return m_wchar.get(); }
    /// The UTF-8 byte string, zero-terminated; null without text or after a failure.
    const char* str_char() const { return m_char.get(); }
    /// The platform's wide string, built on first use (one code point per
    /// element on Linux, UTF-16 units on Windows); null without text.
    const wchar_t* str_wchar_t();

    size_t lenWCHAR_T() const { return m_wcharLen; }
    size_t lenChar() const { return m_charLen; }

    /// True when the input was a host string that is not valid UTF-16.
    bool failed() const { return m_failed; }

    /// A copy of the host string, terminator included, in memory from
    /// iMemory (one AllocMemory call). Null when there is no memory manager,
    /// when it refuses, or when there is no text; nothing is written then.
    WCHAR_T* alloc_WCHAR_T(IMemoryManager* iMemory) const;

    /// Makes *pVar a host-string variant holding such a copy: vt VTYPE_PWSTR,
    /// wstrLen without the terminator. Returns false, leaving *pVar as it was,
    /// when the copy cannot be made.
    bool pack_WCHAR_T(tVariant* pVar, IMemoryManager* iMemory) const;

private:
    void fromUtf8(const char* str, size_t len);

    std::unique_ptr<WCHAR_T[]> m_wchar;
    std::unique_ptr<char[]> m_char;
    std::unique_ptr<wchar_t[]> m_wide;
    size_t m_wcharLen = 0;
    size_t m_charLen = 0;
    bool m_failed = false;
};

/// printf-style formatting into a string that grows to whatever length the
/// result needs.
std::string str_format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
