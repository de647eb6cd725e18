// DeviceDriver: the component object that the host creates through the
// library's exports and drives through its interfaces.
//
// The interface operations live in DeviceDriver.cpp and only translate between
// the host and the driver; the equipment methods are member functions in
// driver_methods.cpp (state and errors), driver_documents.cpp (the XML
// documents) and driver_exchange.cpp (the terminal), reached through one table
// indexed by method number.
#ifndef TAVROLINK_DEVICEDRIVER_H
#define TAVROLINK_DEVICEDRIVER_H

#include <stdint.h>

#include <string>

#include "include/AddInDefBase.h"
#include "include/ComponentBase.h"
#include "include/IMemoryManager.h"
#include "method_registry.h"
#include "net_client.h"

// Error codes of the driver, reported by GetLastError. A terminal's device
// error e arrives as e + 4.
enum ErrorCode : int32_t {
    ERR_NONE = 0,
    ERR_NOT_SUPPORTED = 1,
    ERR_NO_CONNECTION = 2,
    ERR_NETWORK = 3,
    ERR_NO_DOCUMENTS = 4,
    ERR_PROTOCOL = 5,
    ERR_NO_CURRENT_DOCUMENT = 6,
    ERR_XML_READ = 7,
    ERR_NO_ADDRESS = 8,
};

/// The texts of codes 0 to 8, UTF-8.
extern const char* const ERRORS[9];

extern const char DRIVER_NAME[];
extern const char MODULE_NAME[];
extern const int DRIVER_VERSION_INT;
extern const int VERSION_INT;
extern const char DRIVER_VERSION[];
extern const char equipmentType[];
extern const char testSuccess[];
extern const char testFail[];

/// The text that GetLastError reports for a code: its entry in ERRORS, or for
/// a terminal error without an entry, a text naming the terminal's number.
std::string errorText(int32_t code);

class DeviceDriver final : public IComponentBase {
public:
    DeviceDriver();
    ~DeviceDriver();

    DeviceDriver(const DeviceDriver&) = delete;
    DeviceDriver& operator=(const DeviceDriver&) = delete;

#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
    void* msvcDeletingDestructor(unsigned int flags) override;
#endif

    // IInitDoneBase
    bool ADDIN_API Init(void* disp) override;
    bool ADDIN_API setMemManager(void* mem) override;
    long ADDIN_API GetInfo() override;
    void ADDIN_API Done() override;

    // ILanguageExtenderBase
    bool ADDIN_API RegisterExtensionAs(WCHAR_T** wsExtensionName) override;
    long ADDIN_API GetNProps() override;
    long ADDIN_API FindProp(const WCHAR_T* wsPropName) override;
    const WCHAR_T* ADDIN_API GetPropName(long lPropNum, long lPropAlias) override;
    bool ADDIN_API GetPropVal(const long lPropNum, tVariant* pvarPropVal) override;
    bool ADDIN_API SetPropVal(const long lPropNum, tVariant* varPropVal) override;
    bool ADDIN_API IsPropReadable(const long lPropNum) override;
    bool ADDIN_API IsPropWritable(const long lPropNum) override;
    long ADDIN_API GetNMethods() override;
    long ADDIN_API FindMethod(const WCHAR_T* wsMethodName) override;
    const WCHAR_T* ADDIN_API GetMethodName(const long lMethodNum, const long lMethodAlias) override;
    long ADDIN_API GetNParams(const long lMethodNum) override;
    bool ADDIN_API GetParamDefValue(const long lMethodNum, const long lParamNum,
                                    tVariant* pvarParamDefValue) override;
    bool ADDIN_API HasRetVal(const long lMethodNum) override;
    bool ADDIN_API CallAsProc(const long lMethodNum, tVariant* paParams,
                              const long lSizeArray) override;
    bool ADDIN_API CallAsFunc(const long lMethodNum, tVariant* pvarRetValue, tVariant* paParams,
                              const long lSizeArray) override;

    // LocaleBase
    void ADDIN_API SetLocale(const WCHAR_T* loc) override;

    // The readers of the host's XML documents; 1 when a value was taken.
    int pugiXmlParamSingleNodeXPath(std::string xml, std::string name, std::string tag,
                                    std::string* dest);
    int pugiXmlAppSettingsSingleNodeXPath(std::string xml, std::string tag, std::string* dest);

    /// Documents from the host longer than this (in UTF-16 units) are refused
    /// as unreadable, so a runaway document cannot exhaust the host's memory.
    static constexpr size_t MAX_DOCUMENT_UNITS = 4u << 20;

private:
    /// One call of a method: its number, result and parameters.
    struct MethodCall {
        long number;
        tVariant* result;
        tVariant* params;
    };
    /// A method body. It reports through the result and _errCode; false means
    /// a failure without a code of its own (an input that is not a string or
    /// not valid UTF-16, the memory manager refusing), which the dispatch turns
    /// into a false result with _errCode unchanged.
    typedef bool (DeviceDriver::*MethodBody)(MethodCall& call);
    static const MethodBody METHOD_BODIES[pLast];

    void fail(MethodCall& call, int32_t code);
    bool reportExchange(MethodCall& call, int result);
    bool putString(tVariant* var, const std::string& utf8);
    bool readDocument(const tVariant& param, std::string* xml, bool* usable);
    std::string settingsForm() const;

    // State and errors.
    bool getInterfaceRevision(MethodCall& call);
    bool getLastError(MethodCall& call);
    bool notSupported(MethodCall& call);
    bool getVersion(MethodCall& call);
    // Documents.
    bool getDescription(MethodCall& call);
    bool getAdditionalActions(MethodCall& call);
    bool equipmentParameters(MethodCall& call);
    bool equipmentAutoSetup(MethodCall& call);
    bool setApplicationInformation(MethodCall& call);
    // Exchange with the terminal.
    bool connectEquipment(MethodCall& call);
    bool equipmentTest(MethodCall& call);
    bool disconnectEquipment(MethodCall& call);
    bool uploadTable(MethodCall& call);
    bool downloadTable(MethodCall& call);
    bool clearTable(MethodCall& call);
    int readAddress(const tVariant& param);

    IAddInDefBaseEx* _base;
    IMemoryManager* iMemory;
    bool _logEnabled;
    int32_t _errCode;
    int32_t _sState;
    std::string _address;
    std::string _appName;
    std::string _appVersion;
    NetClient _client;

};

#endif
