#include "host_harness.h"

#include "tests/open_sockets.h"
#include "tools/cli/text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#ifndef TAVROLINK_LIBRARY_PATH
#error "TAVROLINK_LIBRARY_PATH must name the built library"
#endif

namespace harness {

HostString fromUtf8(const std::string& s)
{
    const cli::Units units = cli::utf8ToUtf16(s);
    return HostString(units.begin(), units.end());
}

std::string toUtf8(const uint16_t* u, size_t n)
{
    // Well-formed runs go through the command-line host's converter; each
    // unpaired surrogate is spelled "\uXXXX", so a test shows what it got.
    std::string out;
    size_t run = 0;
    for (size_t i = 0; i < n; ++i) {
        const bool high = u[i] >= 0xD800 && u[i] <= 0xDBFF;
        if (high && i + 1 < n && u[i + 1] >= 0xDC00 && u[i + 1] <= 0xDFFF) {
            ++i;
        } else if (u[i] >= 0xD800 && u[i] <= 0xDFFF) {
            out += cli::utf16ToUtf8(u + run, i - run);
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(u[i]));
            out += escape;
            run = i + 1;
        }
    }
    out += cli::utf16ToUtf8(u + run, n - run);
    return out;
}

std::string toUtf8(const WCHAR_T* s)
{
    if (s == nullptr)
        return "<null>";
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return toUtf8(s, n);
}

// ---------------------------------------------------------------------------

RecordingMemory::~RecordingMemory()
{
    // The host frees what it was handed; here that happens at the end.
    for (auto& block : blocks_)
        free(const_cast<void*>(block.first));
}

bool RecordingMemory::AllocMemory(void** pMemory, unsigned long ulCountByte)
{
    ++requests_;
    sizes_.push_back(ulCountByte);
    if (refuseAll_ || (refuseAt_ != 0 && requests_ == refuseAt_))
        return false;
    void* p = malloc(ulCountByte == 0 ? 1 : ulCountByte);
    if (p == nullptr)
        return false;
    // Poison the block, so that a missing terminator or a short copy shows.
    memset(p, 0xA5, ulCountByte);
    blocks_[p] = ulCountByte;
    *pMemory = p;
    return true;
}

void RecordingMemory::FreeMemory(void** pMemory)
{
    if (pMemory == nullptr || *pMemory == nullptr)
        return;
    auto it = blocks_.find(*pMemory);
    if (it == blocks_.end()) {
        fprintf(stderr, "FreeMemory of a block this manager never handed out\n");
        abort();
    }
    free(*pMemory);
    blocks_.erase(it);
    *pMemory = nullptr;
}

#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
void* RecordingMemory::msvcDeletingDestructor(unsigned int flags)
{
    fprintf(stderr, "the component destroyed the host's memory manager (flags %u)\n", flags);
    abort();
}
#endif

size_t RecordingMemory::blockSize(const void* p) const
{
    auto it = blocks_.find(p);
    return it == blocks_.end() ? 0 : it->second;
}

// ---------------------------------------------------------------------------

Library& Library::get()
{
    static Library lib = [] {
        Library l;
#if defined(_WIN32)
        HMODULE module = LoadLibraryA(TAVROLINK_LIBRARY_PATH);
        l.handle = reinterpret_cast<void*>(module);
        if (module == nullptr) {
            fprintf(stderr, "cannot load %s: error %lu\n", TAVROLINK_LIBRARY_PATH, GetLastError());
            abort();
        }
        auto symbol = [module](const char* name) {
            return reinterpret_cast<void*>(GetProcAddress(module, name));
        };
#else
        l.handle = dlopen(TAVROLINK_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (l.handle == nullptr) {
            fprintf(stderr, "cannot load %s: %s\n", TAVROLINK_LIBRARY_PATH, dlerror());
            abort();
        }
        auto symbol = [&l](const char* name) { return dlsym(l.handle, name); };
#endif
        l.GetClassNames = reinterpret_cast<GetClassNamesFn>(symbol("GetClassNames"));
        l.GetClassObject = reinterpret_cast<GetClassObjectFn>(symbol("GetClassObject"));
        l.DestroyObject = reinterpret_cast<DestroyObjectFn>(symbol("DestroyObject"));
        l.SetPlatformCapabilities =
            reinterpret_cast<SetPlatformCapabilitiesFn>(symbol("SetPlatformCapabilities"));
        if (!l.GetClassNames || !l.GetClassObject || !l.DestroyObject || !l.SetPlatformCapabilities) {
            fprintf(stderr, "the library lacks one of its four exports\n");
            abort();
        }
        return l;
    }();
    return lib;
}

// ---------------------------------------------------------------------------

Param::Param() { memset(&var, 0, sizeof var); }

Param::Param(const Param& other) : var(other.var), storage(other.storage) { repoint(other); }

Param& Param::operator=(const Param& other)
{
    var = other.var;
    storage = other.storage;
    repoint(other);
    return *this;
}

// A copy that carries its own host string must point at its own storage.
void Param::repoint(const Param& from)
{
    if (from.var.vt == VTYPE_PWSTR && from.var.pwstrVal != nullptr &&
        from.var.pwstrVal == reinterpret_cast<const WCHAR_T*>(from.storage.data()))
        var.pwstrVal = reinterpret_cast<WCHAR_T*>(&storage[0]);
}

Param Param::str(const std::string& utf8) { return units(fromUtf8(utf8)); }

Param Param::units(HostString u)
{
    Param p;
    p.storage = std::move(u);
    p.var.vt = VTYPE_PWSTR;
    p.var.pwstrVal = reinterpret_cast<WCHAR_T*>(&p.storage[0]);
    p.var.wstrLen = static_cast<uint32_t>(p.storage.size());
    return p;
}

Param Param::empty() { return Param(); }

Param Param::i4(int32_t value)
{
    Param p;
    p.var.vt = VTYPE_I4;
    p.var.lVal = value;
    return p;
}

Param Param::nullString()
{
    Param p;
    p.var.vt = VTYPE_PWSTR;
    return p;
}

std::vector<tVariant> varsOf(const std::vector<Param>& params)
{
    std::vector<tVariant> vars;
    for (const Param& p : params)
        vars.push_back(p.var);
    return vars;
}

bool sameBytes(const tVariant& a, const tVariant& b) { return memcmp(&a, &b, sizeof a) == 0; }

std::string CallResult::text() const
{
    if (value.vt != VTYPE_PWSTR)
        return "<not a string>";
    return toUtf8(value.pwstrVal, value.wstrLen);
}

// ---------------------------------------------------------------------------

Component::Component()
{
    Library& lib = Library::get();
    const HostString name = fromUtf8("Tavrolink");
    if (lib.GetClassObject(reinterpret_cast<const WCHAR_T*>(name.c_str()), &object_) == 0 ||
        object_ == nullptr) {
        fprintf(stderr, "GetClassObject created nothing\n");
        abort();
    }
    object_->Init(nullptr);
    object_->setMemManager(&memory_);
}

Component::~Component()
{
    Library::get().DestroyObject(&object_);
}

long Component::find(const std::string& name)
{
    const HostString units = fromUtf8(name);
    return object_->FindMethod(reinterpret_cast<const WCHAR_T*>(units.c_str()));
}

CallResult Component::call(long method, std::vector<Param>& params)
{
    // The host passes a contiguous array of variants; copy them out and back.
    std::vector<tVariant> array;
    for (Param& p : params)
        array.push_back(p.var);
    CallResult r;
    memset(&r.value, 0x5A, sizeof r.value);
    r.returned = object_->CallAsFunc(method, &r.value, array.empty() ? nullptr : array.data(),
                                     static_cast<long>(array.size()));
    for (size_t i = 0; i < params.size(); ++i)
        params[i].var = array[i];
    return r;
}

CallResult Component::call(const std::string& name, std::vector<Param>& params)
{
    return call(find(name), params);
}

CallResult Component::call(const std::string& name)
{
    std::vector<Param> none;
    return call(name, none);
}

int32_t Component::lastError(std::string* text)
{
    std::vector<Param> params;
    params.push_back(Param::empty());
    CallResult r = call("GetLastError", params);
    if (text != nullptr)
        *text = textOf(params[0]);
    return r.value.vt == VTYPE_I4 ? r.value.lVal : INT32_MIN;
}

std::string Component::textOf(const Param& p)
{
    if (p.var.vt != VTYPE_PWSTR)
        return "<not a string>";
    return toUtf8(p.var.pwstrVal, p.var.wstrLen);
}

size_t openDescriptors() { return testing_sockets::openDescriptors(); }

std::string connectionParameters(const std::string& address)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Parameters><Parameter Name=\"Address\" "
           "Value=\"" + address + "\"/></Parameters>";
}

}  // namespace harness
