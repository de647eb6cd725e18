// The host side of the tests: loads the built add-in library the way the
// platform does (dlopen, or LoadLibrary on Windows; the four exports, the
// interface tables) and calls its objects as the platform would, with a
// memory manager that records every allocation and can be told to refuse some.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "include/ComponentBase.h"
#include "include/IMemoryManager.h"
#include "include/types.h"

namespace harness {

typedef std::basic_string<uint16_t> HostString;

/// UTF-8 to UTF-16 and back, apart from the driver's own converter so that
/// the two check each other (the first is the command-line host's). toUtf8
/// writes an unpaired surrogate as "\uXXXX", so a test shows what it got.
HostString fromUtf8(const std::string& utf8);
std::string toUtf8(const uint16_t* units, size_t count);
std::string toUtf8(const WCHAR_T* zeroTerminated);

/// A memory manager that records every block, frees what the host would free,
/// and can refuse requests.
class RecordingMemory final : public IMemoryManager {
public:
    ~RecordingMemory();
    bool AllocMemory(void** pMemory, unsigned long ulCountByte) override;
    void FreeMemory(void** pMemory) override;
#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
    /// The slot of MSVC's deleting destructor. The memory manager is the
    /// host's: a component that calls this is at fault, and the test aborts.
    void* msvcDeletingDestructor(unsigned int flags) override;
#endif

    /// Refuse the k-th request from now on (1 = the next one), 0 = none.
    void refuseRequest(size_t k) { refuseAt_ = k == 0 ? 0 : requests_ + k; }
    void refuseAll(bool refuse) { refuseAll_ = refuse; }

    size_t requests() const { return requests_; }
    size_t liveBlocks() const { return blocks_.size(); }
    /// Size of a block that AllocMemory handed out and nobody freed (0 if none).
    size_t blockSize(const void* p) const;
    const std::vector<unsigned long>& requestSizes() const { return sizes_; }

private:
    std::map<const void*, size_t> blocks_;
    std::vector<unsigned long> sizes_;
    size_t requests_ = 0;
    size_t refuseAt_ = 0;
    bool refuseAll_ = false;
};

/// The library, loaded once per process.
struct Library {
    typedef const WCHAR_T* (*GetClassNamesFn)();
    typedef long (*GetClassObjectFn)(const WCHAR_T*, IComponentBase**);
    typedef long (*DestroyObjectFn)(IComponentBase**);
    typedef AppCapabilities (*SetPlatformCapabilitiesFn)(AppCapabilities);

    void* handle = nullptr;
    GetClassNamesFn GetClassNames = nullptr;
    GetClassObjectFn GetClassObject = nullptr;
    DestroyObjectFn DestroyObject = nullptr;
    SetPlatformCapabilitiesFn SetPlatformCapabilities = nullptr;

    /// The library at TAVROLINK_LIBRARY_PATH; aborts the test program if it
    /// cannot be loaded.
    static Library& get();
};

/// One parameter as the host passes it: it owns the host string it points to.
class Param {
public:
    static Param str(const std::string& utf8);
    static Param units(HostString units);  ///< arbitrary units, e.g. lone surrogates
    static Param empty();
    static Param i4(int32_t value);
    static Param nullString();  ///< VTYPE_PWSTR with a null pointer

    Param(const Param& other);
    Param& operator=(const Param& other);

    tVariant var;
    HostString storage;

private:
    Param();
    void repoint(const Param& from);
};

/// The variants as the host passed them (copying the Params would repoint
/// them), and a byte-for-byte comparison, to show that a call left a
/// parameter exactly as it was.
std::vector<tVariant> varsOf(const std::vector<Param>& params);
bool sameBytes(const tVariant& a, const tVariant& b);

/// The outcome of one call.
struct CallResult {
    bool returned = false;  ///< what CallAsFunc itself returned
    tVariant value{};       ///< the result variant
    bool ok() const { return value.vt == VTYPE_BOOL && value.bVal; }
    bool failed() const { return value.vt == VTYPE_BOOL && !value.bVal; }
    std::string text() const;  ///< a VTYPE_PWSTR result as UTF-8
};

/// One component object, created through the exports and destroyed with them.
class Component {
public:
    Component();
    ~Component();
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    IComponentBase* object() const { return object_; }
    RecordingMemory& memory() { return memory_; }

    long find(const std::string& name);
    CallResult call(long method, std::vector<Param>& params);
    CallResult call(const std::string& name, std::vector<Param>& params);
    CallResult call(const std::string& name);

    /// GetLastError: the code, and the text it wrote into its parameter.
    int32_t lastError(std::string* text = nullptr);

    /// The UTF-8 form of a host-string parameter after a call.
    static std::string textOf(const Param& p);

private:
    RecordingMemory memory_;
    IComponentBase* object_ = nullptr;
};

/// Open descriptors of this process (Windows: its sockets, the only handles
/// the driver makes), to check that nothing is left open.
size_t openDescriptors();

/// A connection parameters document with the given address.
std::string connectionParameters(const std::string& address);

}  // namespace harness
