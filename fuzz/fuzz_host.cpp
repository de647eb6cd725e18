// The host's side: CallAsFunc with arbitrary method numbers, parameter
// counts, variant types and strings. Methods that would reach the network are
// left out (their document handling is fuzzed by fuzz_xml, their exchanges by
// fuzz_link), so nothing here ever opens a connection.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "DeviceDriver.h"
#include "include/IMemoryManager.h"

namespace {

class FuzzMemory final : public IMemoryManager {
public:
    bool AllocMemory(void** p, unsigned long bytes) override
    {
        if (refuse)
            return false;
        *p = malloc(bytes == 0 ? 1 : bytes);
        blocks.push_back(*p);
        return *p != nullptr;
    }
    void FreeMemory(void** p) override
    {
        for (auto& b : blocks) {
            if (b == *p) {
                free(b);
                b = nullptr;
            }
        }
        *p = nullptr;
    }
    void releaseAll()
    {
        for (void* b : blocks)
            free(b);
        blocks.clear();
    }
    std::vector<void*> blocks;
    bool refuse = false;
};

bool reachesNetwork(long method)
{
    switch (method) {
    case pUploadTable:
    case pDownloadTable:
    case pDownloadTableEx:
    case pClearTable:
    case pConnectEquipment:
    case pEquipmentTest:
        return true;
    default:
        return false;
    }
}

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t byte() { return n ? (--n, *p++) : 0; }
    uint16_t unit() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Reader in{data, size};
    FuzzMemory memory;
    DeviceDriver driver;
    driver.setMemManager(in.byte() & 1 ? &memory : nullptr);

    const int calls = 1 + in.byte() % 4;
    for (int c = 0; c < calls && in.n > 0; ++c) {
        long method = static_cast<int8_t>(in.byte());  // mostly out of range too
        if (reachesNetwork(method))
            continue;
        memory.refuse = in.byte() % 5 == 0;
        const long count = in.byte() % 7;
        std::vector<tVariant> params(count);
        std::vector<std::vector<WCHAR_T>> strings(count);
        for (long i = 0; i < count; ++i) {
            memset(&params[i], 0, sizeof(tVariant));
            const uint8_t kind = in.byte();
            params[i].vt = kind % 3 == 0 ? VTYPE_PWSTR : static_cast<TYPEVAR>(kind);
            if (params[i].vt == VTYPE_PWSTR) {
                const size_t length = in.byte();
                for (size_t k = 0; k < length && in.n > 0; ++k) {
                    WCHAR_T u = in.unit();
                    strings[i].push_back(u == 0 ? 'x' : u);
                }
                strings[i].push_back(0);
                params[i].pwstrVal = kind & 4 ? nullptr : strings[i].data();
            } else {
                // Whatever the bytes, a value of another type is never read
                // as a pointer.
                uint64_t bits = 0;
                for (int k = 0; k < 8; ++k)
                    bits = (bits << 8) | in.byte();
                params[i].ullVal = bits;
            }
        }
        tVariant result;
        memset(&result, 0, sizeof result);
        const bool asProc = in.byte() & 1;
        // The host never declares more parameters than it passes.
        const long declared = in.byte() % (count + 1);
        if (asProc)
            driver.CallAsProc(method, params.empty() ? nullptr : params.data(), declared);
        else
            driver.CallAsFunc(method, &result, params.empty() ? nullptr : params.data(), declared);
    }
    memory.releaseAll();
    return 0;
}
