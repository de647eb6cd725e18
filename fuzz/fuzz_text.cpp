// Text conversion on arbitrary input: the input read as UTF-16 units must
// either convert and come back unchanged, or fail cleanly; read as bytes it
// must decode to a host string whose UTF-8 form is the input itself when the
// input was well-formed UTF-8.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "myUtils.h"
#include "utf_codec.h"

namespace {

bool wellFormedUtf16(const std::vector<WCHAR_T>& u)
{
    for (size_t i = 0; i < u.size(); ++i) {
        if (u[i] >= 0xD800 && u[i] <= 0xDBFF) {
            if (i + 1 >= u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (u[i] >= 0xDC00 && u[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As host units, cut at the first zero unit as the host string would be.
    std::vector<WCHAR_T> units;
    for (size_t i = 0; i + 1 < size; i += 2) {
        const WCHAR_T u = static_cast<WCHAR_T>(data[i] | (data[i + 1] << 8));
        if (u == 0)
            break;
        units.push_back(u);
    }
    std::vector<WCHAR_T> host(units);
    host.push_back(0);
    StrUtils fromHost(host.data());
    if (fromHost.failed() == wellFormedUtf16(units))
        abort();  // validity misjudged
    if (!fromHost.failed()) {
        StrUtils back(fromHost.str_char(), fromHost.lenChar());
        if (back.lenWCHAR_T() != units.size() ||
            (!units.empty() && memcmp(back.str_WCHAR_T(), units.data(), units.size() * sizeof(WCHAR_T)) != 0))
            abort();  // valid UTF-16 must round-trip exactly
    }

    // As bytes.
    static const char kEmpty[1] = {0};
    StrUtils fromBytes(size ? reinterpret_cast<const char*>(data) : kEmpty, size);
    if (fromBytes.str_WCHAR_T()[fromBytes.lenWCHAR_T()] != 0)
        abort();
    StrUtils again(fromBytes.str_WCHAR_T());
    if (again.failed())
        abort();  // decoding never produces invalid UTF-16
    // Well-formed UTF-8 without zero bytes comes back byte for byte.
    if (size > 0 && memchr(data, 0, size) == nullptr) {
        bool replaced = false;
        for (size_t i = 0; i < fromBytes.lenWCHAR_T(); ++i)
            replaced |= fromBytes.str_WCHAR_T()[i] == 0xFFFD;
        if (!replaced && (again.lenChar() != size || memcmp(again.str_char(), data, size) != 0))
            abort();
    }
    return 0;
}
