// Entry point of the Windows library: nothing to set up or tear down beyond
// the module's constants, so every notification succeeds.
#if defined(_WIN32)
#include <windows.h>

BOOL APIENTRY DllMain(HMODULE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/)
{
    return TRUE;
}
#endif
