// How an interface of the host declares its destructor slot.
//
// The host calls every interface through its table of virtual functions, so the
// table must look exactly as the host's compiler lays it out. GCC and Clang
// (Itanium C++ ABI) give a virtual destructor two slots; the Windows platform is
// built with MSVC, which gives it one: the "scalar deleting destructor", taking
// a flags argument whose bit 0 asks it to free the memory as well.
//
// A MinGW build therefore declares, in place of the virtual destructor, one pure
// virtual function with that signature and meaning, and makes the real
// destructor protected and non-virtual. The concrete class implements the slot
// once; nothing else in these interfaces may be overloaded, because MSVC orders
// overloads differently.
#ifndef TAVROLINK_ADDIN_ABI_H
#define TAVROLINK_ADDIN_ABI_H

#if defined(_WIN32) && !defined(_MSC_VER)
#define TAVROLINK_MSVC_DESTRUCTOR_SLOT 1
#else
#define TAVROLINK_MSVC_DESTRUCTOR_SLOT 0
#endif

#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
#define ADDIN_INTERFACE_DESTRUCTOR(Name)                                         \
public:                                                                          \
    /* MSVC's deleting destructor: destroy, and free the memory if (flags & 1). */ \
    virtual void* msvcDeletingDestructor(unsigned int flags) = 0;                \
                                                                                 \
protected:                                                                       \
    ~Name() {}                                                                   \
                                                                                 \
public:
#else
#define ADDIN_INTERFACE_DESTRUCTOR(Name) \
public:                                  \
    virtual ~Name() {}
#endif

/// Marks the library's four exported functions.
#if defined(_WIN32)
#define TAVROLINK_EXPORT __declspec(dllexport)
#else
#define TAVROLINK_EXPORT __attribute__((visibility("default")))
#endif

#endif
