#include <windows.h>

#include "api/connection_table.h"

// Unloading through FreeLibrary tears down every open connection exactly as PelkClose would and frees the
// connection table, so that loading and unloading again and again leaks nothing. At process exit
// (reserved != null) the other threads are already gone, so nothing may wait for them: the teardown is
// skipped.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) hv::ConnectionTable::Unload();
  return TRUE;
}
