// The interfaces that a component implements for the host.
//
// The host calls through three tables: the one of IComponentBase (which is the
// one of IInitDoneBase), and those of its ILanguageExtenderBase and LocaleBase
// parts. Bases and operations are in the host's order; do not reorder, insert
// or overload anything.
#ifndef TAVROLINK_COMPONENTBASE_H
#define TAVROLINK_COMPONENTBASE_H

#include "addin_abi.h"
#include "types.h"

class IInitDoneBase {
    ADDIN_INTERFACE_DESTRUCTOR(IInitDoneBase)

    /// Hands over the host's connection object (an IAddInDefBaseEx).
    virtual bool ADDIN_API Init(void* disp) = 0;
    /// Hands over the host's memory manager (an IMemoryManager).
    virtual bool ADDIN_API setMemManager(void* mem) = 0;
    virtual long ADDIN_API GetInfo() = 0;
    virtual void ADDIN_API Done() = 0;
};

class ILanguageExtenderBase {
    ADDIN_INTERFACE_DESTRUCTOR(ILanguageExtenderBase)

    virtual bool ADDIN_API RegisterExtensionAs(WCHAR_T** wsExtensionName) = 0;

    virtual long ADDIN_API GetNProps() = 0;
    virtual long ADDIN_API FindProp(const WCHAR_T* wsPropName) = 0;
    virtual const WCHAR_T* ADDIN_API GetPropName(long lPropNum, long lPropAlias) = 0;
    virtual bool ADDIN_API GetPropVal(const long lPropNum, tVariant* pvarPropVal) = 0;
    virtual bool ADDIN_API SetPropVal(const long lPropNum, tVariant* varPropVal) = 0;
    virtual bool ADDIN_API IsPropReadable(const long lPropNum) = 0;
    virtual bool ADDIN_API IsPropWritable(const long lPropNum) = 0;

    virtual long ADDIN_API GetNMethods() = 0;
    virtual long ADDIN_API FindMethod(const WCHAR_T* wsMethodName) = 0;
    virtual const WCHAR_T* ADDIN_API GetMethodName(const long lMethodNum,
                                                   const long lMethodAlias) = 0;
    virtual long ADDIN_API GetNParams(const long lMethodNum) = 0;
    virtual bool ADDIN_API GetParamDefValue(const long lMethodNum, const long lParamNum,
                                            tVariant* pvarParamDefValue) = 0;
    virtual bool ADDIN_API HasRetVal(const long lMethodNum) = 0;
    virtual bool ADDIN_API CallAsProc(const long lMethodNum, tVariant* paParams,
                                      const long lSizeArray) = 0;
    virtual bool ADDIN_API CallAsFunc(const long lMethodNum, tVariant* pvarRetValue,
                                      tVariant* paParams, const long lSizeArray) = 0;
};

class LocaleBase {
    ADDIN_INTERFACE_DESTRUCTOR(LocaleBase)

    virtual void ADDIN_API SetLocale(const WCHAR_T* loc) = 0;
};

class IComponentBase : public IInitDoneBase, public ILanguageExtenderBase, public LocaleBase {
#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
protected:
    ~IComponentBase() {}

public:
#else
public:
    virtual ~IComponentBase() {}
#endif
};

/// The library's exported functions, with C linkage.
extern "C" {
TAVROLINK_EXPORT const WCHAR_T* GetClassNames();
TAVROLINK_EXPORT long GetClassObject(const WCHAR_T* wsName, IComponentBase** pInterface);
TAVROLINK_EXPORT long DestroyObject(IComponentBase** pInterface);
TAVROLINK_EXPORT AppCapabilities SetPlatformCapabilities(const AppCapabilities capabilities);
}

#endif
