// Start-up of korvex.dll. The library keeps no per-thread state, so it asks not to be told about thread start and
// exit; the process-wide state (settings block, pool, diagnostic stream) needs no set-up beyond its static
// initialisers, which the run-time has already run when the loader calls this function.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}

#endif
