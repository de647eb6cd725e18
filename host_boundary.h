// The thin layer between the host and the driver's own methods: reading and
// writing the host's variants, handing strings over through the host's memory
// manager, and the barrier that keeps every exception inside the library.
#ifndef TAVROLINK_HOST_BOUNDARY_H
#define TAVROLINK_HOST_BOUNDARY_H

#include <string>

#include "include/IMemoryManager.h"
#include "include/types.h"

namespace host {

/// Runs body and returns its result; any exception becomes onFailure. Every
/// exported function and interface operation runs its work through this, so
/// nothing ever unwinds into the host.
template <class Result, class Body>
Result guarded(Result onFailure, Body&& body) noexcept
{
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

/// The same for operations without a result.
template <class Body>
void guardedVoid(Body&& body) noexcept
{
    try {
        body();
    } catch (...) {
    }
}

/// Reads an input parameter as UTF-8. Only a host string (VTYPE_PWSTR, where a
/// null pointer reads as the empty string) or an empty variant (the empty
/// string) is accepted; any other type, or a host string that is not valid
/// UTF-16, is refused with false and utf8 is left as it was.
bool readString(const tVariant& param, std::string* utf8);

void setBool(tVariant* var, bool value);
void setInt(tVariant* var, int32_t value);

/// Writes UTF-8 text into var as a host string copied into host memory.
/// False, with var untouched, when the memory manager is missing or refuses.
bool putString(tVariant* var, const char* utf8, size_t length, IMemoryManager* memory);
inline bool putString(tVariant* var, const std::string& utf8, IMemoryManager* memory)
{
    return putString(var, utf8.data(), utf8.size(), memory);
}

}  // namespace host

#endif
