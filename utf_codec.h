// Direct conversion between UTF-16 host strings and UTF-8 byte strings.
//
// UTF-16 to UTF-8 measures first (a branch-free count) and then writes into an
// exactly sized buffer, so a table of many megabytes converts without
// intermediate copies. Both directions have a fast path for runs of ASCII and
// are independent of the C library's locale.
#ifndef TAVROLINK_UTF_CODEC_H
#define TAVROLINK_UTF_CODEC_H

#include <stddef.h>

#include "include/types.h"

namespace utf {

/// Sentinel returned by utf8LengthOf for input that is not valid UTF-16.
constexpr size_t kInvalid = static_cast<size_t>(-1);

/// Bytes that the UTF-8 form of src[0..n) takes, or kInvalid when src holds
/// an unpaired surrogate (a high one not followed by a low one, or a low one
/// not preceded by a high one).
size_t utf8LengthOf(const WCHAR_T* src, size_t n);

/// Writes the UTF-8 form of valid UTF-16 src[0..n) to dst, which has room for
/// utf8LengthOf(src, n) bytes. Returns the bytes written.
size_t writeUtf8(const WCHAR_T* src, size_t n, char* dst);

/// UTF-16 units that the decoding of the bytes src[0..n) takes; never more
/// than n, so a buffer of n units always suffices.
size_t utf16LengthOf(const char* src, size_t n);

/// Decodes src[0..n) into dst, which has room for utf16LengthOf(src, n) units.
/// Code points above U+FFFF become surrogate pairs. A byte that does not start
/// a well-formed sequence (overlong forms, encoded surrogates, values beyond
/// U+10FFFF, truncated sequences) becomes one U+FFFD. Returns the units written.
size_t writeUtf16(const char* src, size_t n, WCHAR_T* dst);

/// Length of a zero-terminated host string, in units.
size_t hostLength(const WCHAR_T* s);

}  // namespace utf

#endif
