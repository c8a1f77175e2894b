#include <windows.h>

#include <cstdlib>
#include <exception>

#include "api/connection_table.h"

// Unloading through FreeLibrary tears down every open connection exactly as PelkClose would and frees the
// connection table, so that loading and unloading again and again leaks nothing. At process exit
// (reserved != null) the other threads are already gone, so nothing may wait for them: the teardown is
// skipped.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) hv::ConnectionTable::Unload();
  return TRUE;
}

// Every export catches whatever is thrown, so std::terminate is reached only through a defect. The C++
// runtime's default handler then prints the exception's demangled type to standard error, which an
// installer does not show; its demangler and the printf it needs were a tenth of the DLL. This handler
// takes its place in the link and ends the process as the default one does after printing.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }  // NOLINT(bugprone-reserved-identifier)
}  // namespace __gnu_cxx
