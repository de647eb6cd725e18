// Text handling of the command-line host: UTF-8 as the shell and files have
// it, UTF-16 units as the add-in's host strings have it.
//
// Written for this tool alone (it links no part of the driver), and safe on any
// input: malformed UTF-8 and unpaired surrogates are replaced, never trusted.
#ifndef TAVROLINK_CLI_TEXT_H
#define TAVROLINK_CLI_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace cli {

/// UTF-16 code units of a host string, without a terminator.
typedef std::vector<uint16_t> Units;

/// Offset of the first byte of text that is not part of well-formed UTF-8
/// (bad lead or continuation byte, truncated or overlong sequence, encoded
/// surrogate, value above U+10FFFF), or std::string_view::npos when all of it
/// is well-formed.
size_t findInvalidUtf8(std::string_view text);

/// The UTF-16 units of text; code points above U+FFFF become surrogate pairs.
/// Each byte that does not belong to a well-formed sequence becomes U+FFFD.
Units utf8ToUtf16(std::string_view text);

/// The UTF-8 form of count units; an unpaired surrogate becomes U+FFFD.
/// A zero unit is kept as a zero byte.
std::string utf16ToUtf8(const uint16_t* units, size_t count);

/// Number of unpaired surrogates among count units (each of them turns into
/// U+FFFD in UTF-8).
size_t unpairedSurrogates(const uint16_t* units, size_t count);

/// Cuts text into consecutive pieces of at most maxBytes bytes (maxBytes >= 4),
/// never inside a UTF-8 sequence: a cut that would fall inside one moves back
/// to its first byte. Empty text gives no piece. The pieces, joined, are text.
std::vector<std::string_view> splitPackages(std::string_view text, size_t maxBytes);

/// text as the value of an XML attribute in double quotes: the markup
/// characters and the blanks that a parser would normalise are escaped.
std::string xmlAttribute(std::string_view text);

/// The connection parameters document that carries the terminal's address.
std::string connectionParameters(std::string_view address);

/// Number of code points in UTF-8 text (for lining up columns).
size_t codePoints(std::string_view text);

/// count units shown in double quotes on one line, as UTF-8: quote, backslash
/// and control characters are written as escapes (\n, \r, \t, \xHH), an
/// unpaired surrogate as \uXXXX, everything else as it is.
std::string quoted(const uint16_t* units, size_t count);

}  // namespace cli

#endif
