#include "DeviceDriver.h"

#include <locale.h>
#include <stdint.h>

#include "host_boundary.h"
#include "myUtils.h"

const char DRIVER_NAME[] = "Tavrolink";
const char MODULE_NAME[] = "Tavrolink";
const int DRIVER_VERSION_INT = 4204;
const int VERSION_INT = 4003;

namespace {

// The class-name list that GetClassNames hands out. It belongs to the library
// and lives until it is unloaded; the host never frees it.
const WCHAR_T CLASS_NAMES[] = {'T', 'a', 'v', 'r', 'o', 'l', 'i', 'n', 'k', 0};
static_assert(sizeof(CLASS_NAMES) / sizeof(CLASS_NAMES[0]) == sizeof(DRIVER_NAME),
              "the class-name list spells DRIVER_NAME");

}  // namespace

// ---------------------------------------------------------------------------
// Exported functions

extern "C" TAVROLINK_EXPORT const WCHAR_T* GetClassNames()
{
    return CLASS_NAMES;
}

extern "C" TAVROLINK_EXPORT long GetClassObject(const WCHAR_T* /*wsName*/,
                                                IComponentBase** pInterface)
{
    return host::guarded(0L, [&]() -> long {
        if (pInterface == nullptr || *pInterface != nullptr)
            return 0;
        IComponentBase* object = new DeviceDriver();
        *pInterface = object;
        return static_cast<long>(reinterpret_cast<intptr_t>(object));
    });
}

extern "C" TAVROLINK_EXPORT long DestroyObject(IComponentBase** pInterface)
{
    return host::guarded(-1L, [&]() -> long {
        if (pInterface == nullptr || *pInterface == nullptr)
            return -1;
#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
        static_cast<IInitDoneBase*>(*pInterface)->msvcDeletingDestructor(1);
#else
        delete *pInterface;
#endif
        *pInterface = nullptr;
        return 0;
    });
}

extern "C" TAVROLINK_EXPORT AppCapabilities SetPlatformCapabilities(
    const AppCapabilities /*capabilities*/)
{
    return eAppCapabilities1;
}

// ---------------------------------------------------------------------------
// Lifetime

DeviceDriver::DeviceDriver()
    : _base(nullptr),
      iMemory(nullptr),
      _logEnabled(false),
      _errCode(ERR_NONE),
      _sState(0)
{
}

// The link holds no socket between calls; its own destructor makes sure.
DeviceDriver::~DeviceDriver() = default;

#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
void* DeviceDriver::msvcDeletingDestructor(unsigned int flags)
{
    if (flags & 1) {
        delete this;
    } else {
        this->~DeviceDriver();
    }
    return this;
}
#endif

// ---------------------------------------------------------------------------
// IInitDoneBase

bool DeviceDriver::Init(void* disp)
{
    _base = static_cast<IAddInDefBaseEx*>(disp);
    return true;
}

bool DeviceDriver::setMemManager(void* mem)
{
    iMemory = static_cast<IMemoryManager*>(mem);
    return true;
}

long DeviceDriver::GetInfo() { return DRIVER_VERSION_INT; }

void DeviceDriver::Done()
{
    _client.close();
}

// ---------------------------------------------------------------------------
// ILanguageExtenderBase: extension and properties (the driver has none)

bool DeviceDriver::RegisterExtensionAs(WCHAR_T** wsExtensionName)
{
    return host::guarded(false, [&] {
        if (wsExtensionName == nullptr)
            return false;
        WCHAR_T* name = StrUtils(MODULE_NAME).alloc_WCHAR_T(iMemory);
        if (name == nullptr)
            return false;
        *wsExtensionName = name;
        return true;
    });
}

long DeviceDriver::GetNProps() { return 0; }
long DeviceDriver::FindProp(const WCHAR_T*) { return -1; }
const WCHAR_T* DeviceDriver::GetPropName(long, long) { return nullptr; }
bool DeviceDriver::GetPropVal(const long, tVariant*) { return false; }
bool DeviceDriver::SetPropVal(const long, tVariant*) { return false; }
bool DeviceDriver::IsPropReadable(const long) { return false; }
bool DeviceDriver::IsPropWritable(const long) { return false; }

// ---------------------------------------------------------------------------
// ILanguageExtenderBase: the method registry

long DeviceDriver::GetNMethods() { return pLast; }

long DeviceDriver::FindMethod(const WCHAR_T* wsMethodName)
{
    return findMethodNumber(wsMethodName);
}

const WCHAR_T* DeviceDriver::GetMethodName(const long lMethodNum, const long lMethodAlias)
{
    return host::guarded(static_cast<const WCHAR_T*>(nullptr), [&]() -> const WCHAR_T* {
        if (!isMethodNumber(lMethodNum))
            return nullptr;
        const char* name =
            lMethodAlias == 0 ? methods_names_en[lMethodNum] : methods_names_ru[lMethodNum];
        return StrUtils(name).alloc_WCHAR_T(iMemory);
    });
}

long DeviceDriver::GetNParams(const long lMethodNum)
{
    return isMethodNumber(lMethodNum) ? lMethodParams[lMethodNum] : 0;
}

bool DeviceDriver::GetParamDefValue(const long, const long, tVariant*) { return false; }

bool DeviceDriver::HasRetVal(const long) { return true; }

// ---------------------------------------------------------------------------
// ILanguageExtenderBase: calls

bool DeviceDriver::CallAsProc(const long lMethodNum, tVariant* paParams, const long lSizeArray)
{
    tVariant result = {};
    const bool called = CallAsFunc(lMethodNum, &result, paParams, lSizeArray);
    // A string result is the host's memory that nobody else will see: give it back.
    if (result.vt == VTYPE_PWSTR && result.pwstrVal != nullptr && iMemory != nullptr) {
        void* p = result.pwstrVal;
        host::guardedVoid([&] { iMemory->FreeMemory(&p); });
    }
    return called;
}

bool DeviceDriver::CallAsFunc(const long lMethodNum, tVariant* pvarRetValue, tVariant* paParams,
                              const long lSizeArray)
{
    if (pvarRetValue == nullptr)
        return false;
    host::setBool(pvarRetValue, true);
    if (!isMethodNumber(lMethodNum)) {
        pvarRetValue->bVal = false;
        return true;
    }
    // Never read beyond the array that the host passed.
    const long needed = lMethodParams[lMethodNum];
    if (needed > 0 && (paParams == nullptr || lSizeArray < needed)) {
        pvarRetValue->bVal = false;
        return true;
    }

    MethodCall call{lMethodNum, pvarRetValue, paParams};
    const bool done = host::guarded(false, [&] { return (this->*METHOD_BODIES[lMethodNum])(call); });
    if (!done)
        host::setBool(pvarRetValue, false);
    return true;
}

const DeviceDriver::MethodBody DeviceDriver::METHOD_BODIES[pLast] = {
    &DeviceDriver::getInterfaceRevision,       // pGetInterfaceRevision
    &DeviceDriver::getDescription,             // pGetDescription
    &DeviceDriver::getLastError,               // pGetLastError
    &DeviceDriver::getAdditionalActions,       // pGetAdditionalActions
    &DeviceDriver::notSupported,               // pDoAdditionalAction
    &DeviceDriver::uploadTable,                // pUploadTable
    &DeviceDriver::downloadTable,              // pDownloadTable
    &DeviceDriver::downloadTable,              // pDownloadTableEx
    &DeviceDriver::getVersion,                 // pGetVersion
    &DeviceDriver::clearTable,                 // pClearTable
    &DeviceDriver::equipmentParameters,        // pEquipmentParameters
    &DeviceDriver::connectEquipment,           // pConnectEquipment
    &DeviceDriver::disconnectEquipment,        // pDisconnectEquipment
    &DeviceDriver::equipmentTest,              // pEquipmentTest
    &DeviceDriver::equipmentAutoSetup,         // pEquipmentAutoSetup
    &DeviceDriver::setApplicationInformation,  // pSetApplicationInformation
    &DeviceDriver::notSupported,               // pGetLocalizationPattern
    &DeviceDriver::notSupported,               // pSetLocalization
};

// ---------------------------------------------------------------------------
// LocaleBase

void DeviceDriver::SetLocale(const WCHAR_T* /*loc*/)
{
    // Text conversion does not depend on the C locale; the process-wide locale
    // is still taken from the environment, as the host expects of a component.
    setlocale(LC_ALL, "");
}

// ---------------------------------------------------------------------------
// Helpers shared by the method bodies

void DeviceDriver::fail(MethodCall& call, int32_t code)
{
    _errCode = code;
    host::setBool(call.result, false);
}

bool DeviceDriver::reportExchange(MethodCall& call, int result)
{
    _errCode = result;
    host::setBool(call.result, result == ERR_NONE);
    return true;
}

bool DeviceDriver::putString(tVariant* var, const std::string& utf8)
{
    return host::putString(var, utf8, iMemory);
}
