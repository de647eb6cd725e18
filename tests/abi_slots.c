/* Calls the library the way the platform does, from C: through the exports
 * and by slot number in the interface tables, with no C++ declaration in
 * sight. Checks the layout of the variant record as C sees it.
 *
 * The object's first word points at the table of IInitDoneBase (which is the
 * table of IComponentBase); the next words point at the tables of
 * ILanguageExtenderBase and LocaleBase. A virtual destructor takes two slots
 * under the Itanium C++ ABI (GCC, Clang) and one under MSVC. */
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "include/types.h"

#if defined(_WIN32)
#include <windows.h>
#define DESTRUCTOR_SLOTS 1
#define THISCALL /* x64: one calling convention */
#else
#include <dlfcn.h>
#define DESTRUCTOR_SLOTS 2
#define THISCALL
#endif

/* void (*)(void) is the generic function pointer type that every slot casts to and from. */
typedef void (*Slot)(void);
typedef Slot* Table;

static int failures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

/* ---- a memory manager with a hand-made table ---- */
struct Memory {
    Table vptr;
    int requests;
};

#if DESTRUCTOR_SLOTS == 2
static void THISCALL memDestructor(struct Memory* self) { (void)self; }
#else
static void* THISCALL memDeletingDestructor(struct Memory* self, unsigned flags)
{
    (void)flags;
    return self;
}
#endif
static bool THISCALL memAlloc(struct Memory* self, void** p, unsigned long n)
{
    self->requests++;
    *p = malloc(n);
    return *p != NULL;
}
static void THISCALL memFree(struct Memory* self, void** p)
{
    (void)self;
    free(*p);
    *p = NULL;
}

#if DESTRUCTOR_SLOTS == 2
static Slot memTable[] = {(Slot)memDestructor, (Slot)memDestructor, (Slot)memAlloc, (Slot)memFree};
#else
static Slot memTable[] = {(Slot)memDeletingDestructor, (Slot)memAlloc, (Slot)memFree};
#endif

/* ---- slot numbers after the destructor slots ---- */
enum { INIT = 0, SET_MEM_MANAGER, GET_INFO, DONE };
enum {
    REGISTER_EXTENSION_AS = 0, GET_N_PROPS, FIND_PROP, GET_PROP_NAME, GET_PROP_VAL, SET_PROP_VAL,
    IS_PROP_READABLE, IS_PROP_WRITABLE, GET_N_METHODS, FIND_METHOD, GET_METHOD_NAME, GET_N_PARAMS,
    GET_PARAM_DEF_VALUE, HAS_RET_VAL, CALL_AS_PROC, CALL_AS_FUNC
};
enum { SET_LOCALE = 0 };

static Slot slot(void* iface, int n) { return (*(Table*)iface)[DESTRUCTOR_SLOTS + n]; }

static int equalsAscii(const WCHAR_T* s, const char* a)
{
    size_t i = 0;
    for (; a[i] != '\0'; ++i)
        if (s == NULL || s[i] != (WCHAR_T)(unsigned char)a[i])
            return 0;
    return s[i] == 0;
}

int main(void)
{
    /* The record as C lays it out. */
#if defined(_WIN64)
    CHECK(sizeof(tVariant) == 48);
    CHECK(offsetof(tVariant, cbElements) == 40);
    CHECK(offsetof(tVariant, vt) == 44);
#else
    CHECK(sizeof(tVariant) == 64);
    CHECK(offsetof(tVariant, cbElements) == 56);
    CHECK(offsetof(tVariant, vt) == 60);
#endif

#if defined(_WIN32)
    HMODULE lib = LoadLibraryA(TAVROLINK_LIBRARY_PATH);
#define SYMBOL(name) (void*)GetProcAddress(lib, name)
#else
    void* lib = dlopen(TAVROLINK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
#define SYMBOL(name) dlsym(lib, name)
#endif
    if (lib == NULL) {
#if defined(_WIN32)
        fprintf(stderr, "cannot load %s: error %lu\n", TAVROLINK_LIBRARY_PATH,
                (unsigned long)GetLastError());
#else
        fprintf(stderr, "cannot load %s: %s\n", TAVROLINK_LIBRARY_PATH, dlerror());
#endif
        return 1;
    }
    const WCHAR_T* (*getClassNames)(void) = (const WCHAR_T* (*)(void))SYMBOL("GetClassNames");
    long (*getClassObject)(const WCHAR_T*, void**) =
        (long (*)(const WCHAR_T*, void**))SYMBOL("GetClassObject");
    long (*destroyObject)(void**) = (long (*)(void**))SYMBOL("DestroyObject");
    int (*setCaps)(int) = (int (*)(int))SYMBOL("SetPlatformCapabilities");
    CHECK(getClassNames && getClassObject && destroyObject && setCaps);
    if (failures)
        return 1;

    CHECK(equalsAscii(getClassNames(), "Tavrolink"));
    CHECK(setCaps(-1) == 1);

    void* object = NULL;
    WCHAR_T name[] = {'T', 'a', 'v', 'r', 'o', 'l', 'i', 'n', 'k', 0};
    CHECK(getClassObject(name, &object) != 0 && object != NULL);

    void* initDone = object;
    void* lang = (char*)object + sizeof(void*);
    void* locale = (char*)object + 2 * sizeof(void*);

    struct Memory memory = {memTable, 0};
    CHECK(((bool (*)(void*, void*))slot(initDone, INIT))(initDone, NULL));
    CHECK(((bool (*)(void*, void*))slot(initDone, SET_MEM_MANAGER))(initDone, &memory));
    CHECK(((long (*)(void*))slot(initDone, GET_INFO))(initDone) == 4204);

    WCHAR_T* extension = NULL;
    CHECK(((bool (*)(void*, WCHAR_T**))slot(lang, REGISTER_EXTENSION_AS))(lang, &extension));
    CHECK(equalsAscii(extension, "Tavrolink"));
    CHECK(memory.requests == 1);
    free(extension);

    CHECK(((long (*)(void*))slot(lang, GET_N_PROPS))(lang) == 0);
    CHECK(((long (*)(void*, const WCHAR_T*))slot(lang, FIND_PROP))(lang, name) == -1);
    CHECK(((const WCHAR_T* (*)(void*, long, long))slot(lang, GET_PROP_NAME))(lang, 0, 0) == NULL);
    tVariant v;
    memset(&v, 0, sizeof v);
    CHECK(!((bool (*)(void*, long, tVariant*))slot(lang, GET_PROP_VAL))(lang, 0, &v));
    CHECK(!((bool (*)(void*, long, tVariant*))slot(lang, SET_PROP_VAL))(lang, 0, &v));
    CHECK(!((bool (*)(void*, long))slot(lang, IS_PROP_READABLE))(lang, 0));
    CHECK(!((bool (*)(void*, long))slot(lang, IS_PROP_WRITABLE))(lang, 0));
    CHECK(((long (*)(void*))slot(lang, GET_N_METHODS))(lang) == 18);

    WCHAR_T getVersion[] = {'G', 'e', 't', 'V', 'e', 'r', 's', 'i', 'o', 'n', 0};
    CHECK(((long (*)(void*, const WCHAR_T*))slot(lang, FIND_METHOD))(lang, getVersion) == 8);
    const WCHAR_T* methodName =
        ((const WCHAR_T* (*)(void*, long, long))slot(lang, GET_METHOD_NAME))(lang, 8, 0);
    CHECK(equalsAscii(methodName, "GetVersion"));
    free((void*)methodName);
    CHECK(((long (*)(void*, long))slot(lang, GET_N_PARAMS))(lang, 14) == 5);
    CHECK(!((bool (*)(void*, long, long, tVariant*))slot(lang, GET_PARAM_DEF_VALUE))(lang, 1, 0, &v));
    CHECK(((bool (*)(void*, long))slot(lang, HAS_RET_VAL))(lang, 8));

    /* GetVersion as a function: the result is a host string "4.2.4". The type
     * is read at its raw offset, as the platform reads it. */
    tVariant result;
    memset(&result, 0, sizeof result);
    CHECK(((bool (*)(void*, long, tVariant*, tVariant*, long))slot(lang, CALL_AS_FUNC))(
        lang, 8, &result, NULL, 0));
    uint16_t rawType;
    memcpy(&rawType, (char*)&result + offsetof(tVariant, vt), sizeof rawType);
    CHECK(rawType == VTYPE_PWSTR);
    CHECK(result.wstrLen == 5 && equalsAscii(result.pwstrVal, "4.2.4"));
    free(result.pwstrVal);

    /* GetInterfaceRevision as a procedure. */
    CHECK(((bool (*)(void*, long, tVariant*, long))slot(lang, CALL_AS_PROC))(lang, 0, NULL, 0));

    ((void (*)(void*, const WCHAR_T*))slot(locale, SET_LOCALE))(locale, NULL);
    ((void (*)(void*))slot(initDone, DONE))(initDone);

    CHECK(destroyObject(&object) == 0 && object == NULL);
    CHECK(destroyObject(&object) == -1);

#if DESTRUCTOR_SLOTS == 1
    /* MSVC's scalar deleting destructor: slot 0 of each of the three tables,
     * called with flag 1, destroys and frees the whole object, whichever part
     * it is called through, and answers the address of the whole object. A
     * part whose slot 0 is something else, or that does not find its way back
     * to the whole object, crashes here or answers another address. */
    static const struct {
        const char* name;
        size_t offset;
    } parts[] = {
        {"IInitDoneBase", 0},
        {"ILanguageExtenderBase", sizeof(void*)},
        {"LocaleBase", 2 * sizeof(void*)},
    };
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        void* doomed = NULL;
        CHECK(getClassObject(name, &doomed) != 0 && doomed != NULL);
        if (doomed == NULL)
            continue;
        void* part = (char*)doomed + parts[i].offset;
        void* answered = ((void* (*)(void*, unsigned))(*(Table*)part)[0])(part, 1);
        if (answered != doomed) {
            fprintf(stderr, "deleting destructor through %s answered %p, the object is at %p\n",
                    parts[i].name, answered, doomed);
            ++failures;
        }
    }
#endif

    if (failures == 0)
        printf("all slot calls answered as expected\n");
    return failures == 0 ? 0 : 1;
}
