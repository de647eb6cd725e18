// The eighteen methods of the equipment standard: numbers, names in both
// languages and parameter counts. Entry i of every table belongs to method i.
#ifndef TAVROLINK_METHOD_REGISTRY_H
#define TAVROLINK_METHOD_REGISTRY_H

#include "include/types.h"

enum Methods {
    pGetInterfaceRevision = 0,
    pGetDescription,
    pGetLastError,
    pGetAdditionalActions,
    pDoAdditionalAction,
    pUploadTable,
    pDownloadTable,
    pDownloadTableEx,
    pGetVersion,
    pClearTable,
    pEquipmentParameters,
    pConnectEquipment,
    pDisconnectEquipment,
    pEquipmentTest,
    pEquipmentAutoSetup,
    pSetApplicationInformation,
    pGetLocalizationPattern,
    pSetLocalization,
    pLast  ///< the number of methods
};

extern const char* const methods_names_en[pLast];
extern const char* const methods_names_ru[pLast];  ///< UTF-8
extern const long lMethodParams[pLast];

/// True when lMethodNum names a method (0 to 17).
inline bool isMethodNumber(long lMethodNum)
{
    return static_cast<unsigned long>(lMethodNum) < static_cast<unsigned long>(pLast);
}

/// The number of the method whose English or Russian name is exactly the
/// host string name (same units, case-sensitive), or -1. Allocates nothing.
long findMethodNumber(const WCHAR_T* name);

#endif
