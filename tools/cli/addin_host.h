// The platform's side of an add-in, as the command-line host plays it: the
// library is loaded with dlopen and reached only through its four exports;
// the component object is created, initialised and called through its
// interface tables, with a memory manager of this program's own.
#ifndef TAVROLINK_CLI_ADDIN_HOST_H
#define TAVROLINK_CLI_ADDIN_HOST_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "include/ComponentBase.h"
#include "include/IMemoryManager.h"
#include "include/types.h"
#include "text.h"

namespace cli {

/// The memory the component hands over (strings in results and parameters)
/// comes from here. Blocks are plain malloc blocks; the host frees each once it
/// has read it, and whatever is left when the manager goes.
class HostMemory final : public IMemoryManager {
public:
    HostMemory() = default;
    ~HostMemory();
    HostMemory(const HostMemory&) = delete;
    HostMemory& operator=(const HostMemory&) = delete;

    bool ADDIN_API AllocMemory(void** pMemory, unsigned long ulCountByte) override;
    void ADDIN_API FreeMemory(void** pMemory) override;

    /// Size of a block this manager handed out and that is still live, or -1.
    long long blockSize(const void* p) const;
    /// Frees p if it is a live block of this manager; anything else is left.
    void release(void* p);

private:
    std::unordered_map<void*, size_t> blocks_;
};

/// The parameter array of one call. Input strings are this object's own
/// storage; strings that the component writes in come from HostMemory and are
/// freed with the array.
class Params {
public:
    Params(HostMemory& memory, size_t count);
    ~Params();
    Params(const Params&) = delete;
    Params& operator=(const Params&) = delete;

    /// Parameter i becomes a host string holding the UTF-8 text.
    void setString(size_t i, const std::string& utf8);

    size_t size() const { return vars_.size(); }
    tVariant* data() { return vars_.empty() ? nullptr : vars_.data(); }
    tVariant& operator[](size_t i) { return vars_[i]; }
    /// True when the call changed parameter i in any way.
    bool written(size_t i) const;
    /// Remembers the parameters as they are now, for written().
    void snapshot() { before_ = vars_; }

private:
    HostMemory& memory_;
    std::vector<tVariant> vars_;
    std::vector<tVariant> before_;
    std::vector<Units> storage_;
};

/// A method's result and the error the component reported with it.
struct CallResult {
    tVariant value{};
    bool returned = false;  ///< what CallAsFunc itself returned
    /// True for a method that worked: CallAsFunc returned true and the result
    /// is not the bool false.
    bool ok() const { return returned && !(value.vt == VTYPE_BOOL && !value.bVal); }
};

/// The library and one component object of it.
class AddIn {
public:
    AddIn() = default;
    ~AddIn();
    AddIn(const AddIn&) = delete;
    AddIn& operator=(const AddIn&) = delete;

    /// Loads the library and sets up one object the way the platform does:
    /// SetPlatformCapabilities, GetClassNames, GetClassObject, Init,
    /// setMemManager, SetLocale, RegisterExtensionAs. On failure *error says
    /// what went wrong and false is returned.
    bool load(const std::string& path, std::string* error);

    /// Prints every call through the component's tables on standard error.
    void setTrace(bool trace) { trace_ = trace; }

    IComponentBase* object() const { return object_; }
    HostMemory& memory() { return memory_; }
    const std::string& classNames() const { return classNames_; }
    const std::string& extensionName() const { return extensionName_; }
    int capabilities() const { return capabilities_; }

    /// FindMethod of a UTF-8 name: the number, or -1.
    long findMethod(const std::string& name);
    /// GetMethodName as UTF-8 (alias 0: English, 1: Russian); empty when the
    /// component gives none.
    std::string methodName(long number, long alias);
    long paramCount(long number);

    /// CallAsFunc of the method; result strings are freed with the result by
    /// release(), parameter strings with the Params.
    CallResult call(long number, Params& params);
    /// The same by name; the name must be one the component knows.
    CallResult call(const char* name, Params& params);

    /// GetLastError: the code, and its text in *text.
    long lastError(std::string* text);

    /// The UTF-16 units of a host string that the component wrote, read by its
    /// wstrLen but never beyond the block it came in. Empty for anything else.
    Units units(const tVariant& value) const;
    std::string text(const tVariant& value) const;
    /// Frees a string result once it has been read.
    void release(tVariant& value);

    /// A result or parameter for a person: "bool true", "int 4003",
    /// "string (5 units) \"4.2.4\"", "empty".
    std::string describe(const tVariant& value) const;

private:
    typedef const WCHAR_T* (*GetClassNamesFn)();
    typedef long (*GetClassObjectFn)(const WCHAR_T*, IComponentBase**);
    typedef long (*DestroyObjectFn)(IComponentBase**);
    typedef AppCapabilities (*SetPlatformCapabilitiesFn)(AppCapabilities);

    void trace(const std::string& line) const;

    void* handle_ = nullptr;
    DestroyObjectFn destroyObject_ = nullptr;
    IComponentBase* object_ = nullptr;
    HostMemory memory_;
    std::string classNames_;
    std::string extensionName_;
    int capabilities_ = 0;
    bool trace_ = false;
};

}  // namespace cli

#endif
