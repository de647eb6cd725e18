#include "addin_host.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace cli {

namespace {

// A host string that the library keeps itself (the class-name list) is read up
// to its terminator, but never further than this.
constexpr size_t kMaxLibraryString = 1u << 16;

std::string libraryString(const WCHAR_T* s)
{
    if (s == nullptr)
        return std::string();
    size_t n = 0;
    while (n < kMaxLibraryString && s[n] != 0)
        ++n;
    return utf16ToUtf8(s, n);
}

}  // namespace

// ---------------------------------------------------------------------------
// HostMemory

HostMemory::~HostMemory()
{
    for (auto& block : blocks_)
        free(block.first);
}

bool HostMemory::AllocMemory(void** pMemory, unsigned long ulCountByte)
{
    if (pMemory == nullptr)
        return false;
    void* p = malloc(ulCountByte == 0 ? 1 : ulCountByte);
    if (p == nullptr)
        return false;
    try {
        blocks_[p] = ulCountByte;
    } catch (...) {
        free(p);
        return false;
    }
    *pMemory = p;
    return true;
}

void HostMemory::FreeMemory(void** pMemory)
{
    if (pMemory == nullptr)
        return;
    release(*pMemory);
    *pMemory = nullptr;
}

long long HostMemory::blockSize(const void* p) const
{
    const auto it = blocks_.find(const_cast<void*>(p));
    return it == blocks_.end() ? -1 : static_cast<long long>(it->second);
}

void HostMemory::release(void* p)
{
    const auto it = blocks_.find(p);
    if (it == blocks_.end())
        return;
    free(it->first);
    blocks_.erase(it);
}

// ---------------------------------------------------------------------------
// Params

Params::Params(HostMemory& memory, size_t count) : memory_(memory), vars_(count), storage_(count)
{
    for (tVariant& var : vars_)
        memset(&var, 0, sizeof var);  // VTYPE_EMPTY
    snapshot();
}

Params::~Params()
{
    for (tVariant& var : vars_) {
        if (var.vt == VTYPE_PWSTR)
            memory_.release(var.pwstrVal);
    }
}

void Params::setString(size_t i, const std::string& utf8)
{
    storage_[i] = utf8ToUtf16(utf8);
    const uint32_t length = static_cast<uint32_t>(storage_[i].size());
    storage_[i].push_back(0);
    tVariant& var = vars_[i];
    memset(&var, 0, sizeof var);
    var.vt = VTYPE_PWSTR;
    var.pwstrVal = storage_[i].data();
    var.wstrLen = length;
    before_[i] = var;
}

bool Params::written(size_t i) const
{
    return memcmp(&vars_[i], &before_[i], sizeof(tVariant)) != 0;
}

// ---------------------------------------------------------------------------
// AddIn

AddIn::~AddIn()
{
    if (object_ != nullptr) {
        trace("Done");
        object_->Done();
        trace("DestroyObject");
        if (destroyObject_ != nullptr)
            destroyObject_(&object_);
    }
    if (handle_ != nullptr)
        dlclose(handle_);
}

void AddIn::trace(const std::string& line) const
{
    if (!trace_)
        return;
    fflush(stdout);
    fprintf(stderr, "[host] %s\n", line.c_str());
}

bool AddIn::load(const std::string& path, std::string* error)
{
    // A bare file name would make dlopen search the system's library paths;
    // the file meant is the one in the current directory.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        *error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason");
        return false;
    }
    const auto getClassNames = reinterpret_cast<GetClassNamesFn>(dlsym(handle_, "GetClassNames"));
    const auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(dlsym(handle_, "GetClassObject"));
    destroyObject_ = reinterpret_cast<DestroyObjectFn>(dlsym(handle_, "DestroyObject"));
    const auto setPlatformCapabilities =
        reinterpret_cast<SetPlatformCapabilitiesFn>(dlsym(handle_, "SetPlatformCapabilities"));
    std::string missing;
    if (getClassNames == nullptr)
        missing += " GetClassNames";
    if (getClassObject == nullptr)
        missing += " GetClassObject";
    if (destroyObject_ == nullptr)
        missing += " DestroyObject";
    if (setPlatformCapabilities == nullptr)
        missing += " SetPlatformCapabilities";
    if (!missing.empty()) {
        *error = path + " is not an add-in: it does not export" + missing;
        return false;
    }

    trace("SetPlatformCapabilities(1)");
    capabilities_ = static_cast<int>(setPlatformCapabilities(eAppCapabilities1));

    trace("GetClassNames");
    classNames_ = libraryString(getClassNames());
    // The list separates names with '|'; the first one is the driver.
    Units name = utf8ToUtf16(classNames_.substr(0, classNames_.find('|')));
    name.push_back(0);

    trace("GetClassObject");
    IComponentBase* object = nullptr;
    if (getClassObject(name.data(), &object) == 0 || object == nullptr) {
        *error = path + ": GetClassObject created no object";
        return false;
    }
    object_ = object;

    trace("Init");
    if (!object_->Init(nullptr)) {
        *error = path + ": the component refused Init";
        return false;
    }
    trace("setMemManager");
    if (!object_->setMemManager(static_cast<IMemoryManager*>(&memory_))) {
        *error = path + ": the component refused the memory manager";
        return false;
    }
    trace("SetLocale(ru_RU)");
    Units locale = utf8ToUtf16("ru_RU");
    locale.push_back(0);
    object_->SetLocale(locale.data());

    trace("RegisterExtensionAs");
    WCHAR_T* extension = nullptr;
    if (!object_->RegisterExtensionAs(&extension) || extension == nullptr) {
        *error = path + ": the component did not register an extension name";
        return false;
    }
    const long long block = memory_.blockSize(extension);
    if (block >= 0) {
        // Read within the block it came in: the terminator need not be there.
        size_t n = 0;
        while (n < static_cast<size_t>(block) / 2 && extension[n] != 0)
            ++n;
        extensionName_ = utf16ToUtf8(extension, n);
        memory_.release(extension);
    } else {
        extensionName_ = libraryString(extension);
    }
    return true;
}

long AddIn::findMethod(const std::string& name)
{
    Units units = utf8ToUtf16(name);
    units.push_back(0);
    return object_->FindMethod(units.data());
}

std::string AddIn::methodName(long number, long alias)
{
    WCHAR_T* name = const_cast<WCHAR_T*>(object_->GetMethodName(number, alias));
    if (name == nullptr)
        return std::string();
    const long long block = memory_.blockSize(name);
    if (block < 0)
        return libraryString(name);
    size_t n = 0;
    while (n < static_cast<size_t>(block) / 2 && name[n] != 0)
        ++n;
    std::string text = utf16ToUtf8(name, n);
    memory_.release(name);
    return text;
}

long AddIn::paramCount(long number) { return object_->GetNParams(number); }

CallResult AddIn::call(long number, Params& params)
{
    CallResult result;
    memset(&result.value, 0, sizeof result.value);
    params.snapshot();
    result.returned = object_->CallAsFunc(number, &result.value, params.data(),
                                          static_cast<long>(params.size()));
    if (trace_) {
        std::string line = "CallAsFunc(" + std::to_string(number) + " " +
                           methodName(number, 0) + ") -> " +
                           (result.returned ? describe(result.value) : "refused");
        for (size_t i = 0; i < params.size(); ++i) {
            if (params.written(i))
                line += "; parameter " + std::to_string(i) + " written";
        }
        trace(line);
    }
    return result;
}

CallResult AddIn::call(const char* name, Params& params)
{
    const long number = findMethod(name);
    trace(std::string("FindMethod(") + name + ") -> " + std::to_string(number));
    if (number < 0) {
        CallResult refused;
        memset(&refused.value, 0, sizeof refused.value);
        return refused;
    }
    return call(number, params);
}

long AddIn::lastError(std::string* text)
{
    Params params(memory_, 1);
    CallResult result = call("GetLastError", params);
    long code = -1;
    if (result.returned && result.value.vt == VTYPE_I4)
        code = result.value.lVal;
    *text = this->text(params[0]);
    release(result.value);
    return code;
}

Units AddIn::units(const tVariant& value) const
{
    if (value.vt != VTYPE_PWSTR || value.pwstrVal == nullptr)
        return Units();
    size_t n = value.wstrLen;
    const long long block = memory_.blockSize(value.pwstrVal);
    if (block >= 0 && n > static_cast<size_t>(block) / 2)
        n = static_cast<size_t>(block) / 2;
    else if (block < 0)
        n = 0;  // not memory the component was given: nothing to trust
    return Units(value.pwstrVal, value.pwstrVal + n);
}

std::string AddIn::text(const tVariant& value) const
{
    const Units u = units(value);
    return utf16ToUtf8(u.data(), u.size());
}

void AddIn::release(tVariant& value)
{
    if (value.vt == VTYPE_PWSTR && value.pwstrVal != nullptr) {
        memory_.release(value.pwstrVal);
        value.pwstrVal = nullptr;
        value.wstrLen = 0;
    }
}

std::string AddIn::describe(const tVariant& value) const
{
    switch (value.vt) {
    case VTYPE_EMPTY:
        return "empty";
    case VTYPE_BOOL:
        return value.bVal ? "bool true" : "bool false";
    case VTYPE_I4:
        return "int " + std::to_string(value.lVal);
    case VTYPE_PWSTR: {
        if (value.pwstrVal == nullptr)
            return "string (null)";
        if (memory_.blockSize(value.pwstrVal) < 0)
            return "string outside the memory the host gave (not read)";
        const Units u = units(value);
        return "string (" + std::to_string(u.size()) + (u.size() == 1 ? " unit) " : " units) ") +
               quoted(u.data(), u.size());
    }
    default:
        return "value of type " + std::to_string(value.vt);
    }
}

}  // namespace cli
