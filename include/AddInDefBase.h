// The host's connection object, handed to the component by Init.
//
// The component keeps the pointer but never calls through it: it reports
// through method results and its error code only. The operations are declared
// so that the table has the host's shape.
#ifndef TAVROLINK_ADDINDEFBASE_H
#define TAVROLINK_ADDINDEFBASE_H

#include "addin_abi.h"
#include "types.h"

class IAddInDefBase {
    ADDIN_INTERFACE_DESTRUCTOR(IAddInDefBase)

    virtual bool ADDIN_API AddError(unsigned short wcode, const WCHAR_T* source,
                                    const WCHAR_T* descr, long scode) = 0;
    virtual bool ADDIN_API Read(WCHAR_T* wszPropName, tVariant* pVal, long* pErrCode,
                                WCHAR_T** errDescriptor) = 0;
    virtual bool ADDIN_API Write(WCHAR_T* wszPropName, tVariant* pVar) = 0;
    virtual bool ADDIN_API RegisterProfileAs(WCHAR_T* wszProfileName) = 0;
    virtual bool ADDIN_API SetEventBufferDepth(long lDepth) = 0;
    virtual long ADDIN_API GetEventBufferDepth() = 0;
    virtual bool ADDIN_API ExternalEvent(WCHAR_T* wszSource, WCHAR_T* wszMessage,
                                         WCHAR_T* wszData) = 0;
    virtual void ADDIN_API CleanEventBuffer() = 0;
    virtual bool ADDIN_API SetStatusLine(WCHAR_T* wszStatusLine) = 0;
    virtual void ADDIN_API ResetStatusLine() = 0;
};

class IAddInDefBaseEx : public IAddInDefBase {
#if TAVROLINK_MSVC_DESTRUCTOR_SLOT
protected:
    ~IAddInDefBaseEx() {}

public:
#else
public:
    virtual ~IAddInDefBaseEx() {}
#endif
    virtual void* ADDIN_API GetInterface(Interfaces iface) = 0;
};

#endif
