// Benchmarks measure in child processes of their own program, so that one measurement cannot disturb the
// next and a crash is only counted: this starts such a child.
#pragma once

#include <windows.h>

#include <string>

#include "support/scoped_handle.h"

namespace hvbench {

// Starts this program again with `arguments` after its path, standard output on a pipe and the other
// standard handles shared. False when it cannot start. `output` reaches its end once the child has exited
// (the child holds the only write end); process and pipe handles are null when invalid, as events.
inline bool StartSelf(const std::wstring& arguments, hv::UniqueEvent& process, hv::UniqueEvent& output) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + arguments;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  hv::UniqueEvent writeEnd;
  if (!CreatePipe(output.receive(), writeEnd.receive(), &inherit, 0)) return false;
  SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  process.reset(info.hProcess);
  const hv::UniqueThread thread(info.hThread);
  return true;
}

}  // namespace hvbench
