// The host's memory manager: every string or block handed to the host is
// allocated through it, and the host frees it.
#ifndef TAVROLINK_IMEMORYMANAGER_H
#define TAVROLINK_IMEMORYMANAGER_H

#include "addin_abi.h"
#include "types.h"

class IMemoryManager {
    ADDIN_INTERFACE_DESTRUCTOR(IMemoryManager)

    /// Allocates ulCountByte bytes into *pMemory; false when the host refuses.
    virtual bool ADDIN_API AllocMemory(void** pMemory, unsigned long ulCountByte) = 0;
    /// Frees a block obtained from AllocMemory and clears *pMemory.
    virtual void ADDIN_API FreeMemory(void** pMemory) = 0;
};

#endif
