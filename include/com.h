// The few COM-style records that the host's declarations use, for platforms
// that do not provide them.
#ifndef TAVROLINK_COM_H
#define TAVROLINK_COM_H

#if defined(_WIN32)
#include <guiddef.h>
#else
#include <stdint.h>

/// A 16-byte interface identifier, laid out as on Windows.
typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;
#endif

#endif
