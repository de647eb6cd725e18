// Records and type codes that the add-in host and the component share.
//
// Everything here is laid out exactly as the host lays it out in memory on the
// platform at hand; the static_asserts at the end pin the layout so that a
// change of compiler or flags cannot silently break the host boundary.
#ifndef TAVROLINK_TYPES_H
#define TAVROLINK_TYPES_H

#include <stdint.h>
#include <stddef.h>
#include <time.h>

#include "com.h"

#if defined(_WIN32)
#define ADDIN_API __stdcall
#else
#define ADDIN_API
#endif

/// One UTF-16 code unit of a host string.
typedef uint16_t WCHAR_T;

/// Variant type code (values of ENUMVAR).
typedef uint16_t TYPEVAR;

enum ENUMVAR {
    VTYPE_EMPTY = 0,
    VTYPE_NULL,
    VTYPE_I2,
    VTYPE_I4,
    VTYPE_R4,
    VTYPE_R8,
    VTYPE_DATE,
    VTYPE_TM,
    VTYPE_PSTR,
    VTYPE_INTERFACE,
    VTYPE_ERROR,
    VTYPE_BOOL,
    VTYPE_VARIANT,
    VTYPE_I1,
    VTYPE_UI1,
    VTYPE_UI2,
    VTYPE_UI4,
    VTYPE_I8,
    VTYPE_UI8,
    VTYPE_INT,
    VTYPE_UINT,
    VTYPE_HRESULT,
    VTYPE_PWSTR,
    VTYPE_BLOB,
    VTYPE_CLSID,
    VTYPE_STR_BLOB = 0xfff,
    VTYPE_VECTOR = 0x1000,
    VTYPE_ARRAY = 0x2000,
    VTYPE_BYREF = 0x4000,
    VTYPE_RESERVED = 0x8000,
    VTYPE_ILLEGAL = 0xffff,
    VTYPE_ILLEGALMASKED = 0xfff,
    VTYPE_TYPEMASK = 0xfff
};

struct _tVariant;
typedef struct _tVariant tVariant;

#if defined(__cplusplus)
#define TAVROLINK_BOOL bool
#else
#define TAVROLINK_BOOL _Bool
#endif

/// The host's variant: a value union followed by an element count and the type.
/// The union and the three pointer-and-length pairs are unnamed, so that
/// `v.pwstrVal`, `v.wstrLen` and `v.bVal` read as the host's own code does.
struct _tVariant {
    union {
        int8_t i8Val;
        int16_t shortVal;
        int32_t lVal;
        int intVal;
        unsigned int uintVal;
        int64_t llVal;
        uint8_t ui8Val;
        uint16_t ushortVal;
        uint32_t ulVal;
        uint64_t ullVal;
        int32_t errCode;
        long hRes;
        float fltVal;
        double dblVal;
        TAVROLINK_BOOL bVal;
        char chVal;
        wchar_t wchVal;
        double date;
        IID IDVal;
        struct _tVariant* pvarVal;
        struct tm tmVal;
        struct {
            void* pInterfaceVal;
            IID InterfaceID;
        };
        struct {
            char* pstrVal;
            uint32_t strLen;
        };
        struct {
            WCHAR_T* pwstrVal;
            uint32_t wstrLen;
        };
    };
    uint32_t cbElements;
    TYPEVAR vt;
};

/// What the platform tells the library it can do.
typedef enum AppCapabilities {
    eAppCapabilitiesInvalid = -1,
    eAppCapabilities1 = 1,
    eAppCapabilitiesLast = eAppCapabilities1
} AppCapabilities;

/// Host interfaces that a component may ask its connection object for.
typedef enum Interfaces {
    eIMsgBox = 0,
    eIPlatformInfo
} Interfaces;

// Layout pins: size of the record and offsets of its trailing fields.
#if defined(__cplusplus)
#define TAVROLINK_STATIC_ASSERT static_assert
#else
#define TAVROLINK_STATIC_ASSERT _Static_assert
#endif

#if defined(_WIN64)
TAVROLINK_STATIC_ASSERT(sizeof(tVariant) == 48, "tVariant must be 48 bytes on Windows x64");
TAVROLINK_STATIC_ASSERT(offsetof(tVariant, cbElements) == 40, "cbElements at 40 on Windows x64");
TAVROLINK_STATIC_ASSERT(offsetof(tVariant, vt) == 44, "vt at 44 on Windows x64");
#elif defined(__x86_64__)
TAVROLINK_STATIC_ASSERT(sizeof(tVariant) == 64, "tVariant must be 64 bytes on Linux x86-64");
TAVROLINK_STATIC_ASSERT(offsetof(tVariant, cbElements) == 56, "cbElements at 56 on Linux x86-64");
TAVROLINK_STATIC_ASSERT(offsetof(tVariant, vt) == 60, "vt at 60 on Linux x86-64");
#endif
TAVROLINK_STATIC_ASSERT(sizeof(WCHAR_T) == 2, "host string units are 16 bits");

#endif
