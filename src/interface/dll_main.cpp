// The DLL entry routine: the result state needs no per-process or per-thread
// set-up beyond static initialisation, so every notification succeeds.
#ifdef _WIN32

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) {
    return TRUE;
}

#endif  // _WIN32
