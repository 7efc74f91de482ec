// Start-up of korvex.dll. The library keeps no per-thread state, so it asks not to be told about thread start and
// exit; the default context (settings block, pools, diagnostic stream) is built on its first use and contexts a
// caller creates are built by KVW_ctx_create, so nothing needs setting up here.
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
