#include "host_boundary.h"

#include "myUtils.h"
#include "utf_codec.h"

namespace host {

bool readString(const tVariant& param, std::string* utf8)
{
    if (param.vt == VTYPE_EMPTY || (param.vt == VTYPE_PWSTR && param.pwstrVal == nullptr)) {
        utf8->clear();
        return true;
    }
    if (param.vt != VTYPE_PWSTR)
        return false;
    // Convert straight into the destination: a table of many megabytes is
    // measured once and written once, with no intermediate copy.
    const size_t units = utf::hostLength(param.pwstrVal);
    const size_t bytes = utf::utf8LengthOf(param.pwstrVal, units);
    if (bytes == utf::kInvalid)
        return false;
    utf8->resize(bytes);
    if (bytes != 0)
        utf::writeUtf8(param.pwstrVal, units, &(*utf8)[0]);
    return true;
}

void setBool(tVariant* var, bool value)
{
    var->vt = VTYPE_BOOL;
    var->bVal = value;
}

void setInt(tVariant* var, int32_t value)
{
    var->vt = VTYPE_I4;
    var->lVal = value;
}

bool putString(tVariant* var, const char* utf8, size_t length, IMemoryManager* memory)
{
    StrUtils text(utf8, length);
    return text.pack_WCHAR_T(var, memory);
}

}  // namespace host
