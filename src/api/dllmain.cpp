#include <windows.h>

#include "api/connection_table.h"

// Loading constructs the connection table (a static initialiser). Unloading through FreeLibrary tears
// down every open connection exactly as PelkClose would. At process exit (reserved != null) the other
// threads are already gone, so nothing may wait for them: the teardown is skipped.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) hv::ConnectionTable::Instance().CloseAll();
  return TRUE;
}
