#include "common/child_process.h"

#include <thread>

#include "support/scoped_handle.h"

namespace hvtest {

ChildOutcome RunChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
  ChildOutcome outcome;
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  hv::UniqueFile readEnd;
  hv::UniqueFile writeEnd;
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return outcome;
  readEnd.reset(read);
  writeEnd.reset(write);
  SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  PROCESS_INFORMATION process = {};
  outcome.started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &process) != FALSE;
  writeEnd.reset();  // the child holds its own copy: reading ends when the child and its children exit
  if (!outcome.started) return outcome;
  const hv::UniqueEvent processHandle(process.hProcess);
  const hv::UniqueEvent threadHandle(process.hThread);

  // The pipe is drained on a thread of its own, so that a child that never exits cannot block the wait.
  std::thread reader([&outcome, &readEnd] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) outcome.output.append(buffer, got);
  });
  outcome.finished = WaitForSingleObject(processHandle.get(), timeoutMs) == WAIT_OBJECT_0;
  if (!outcome.finished) TerminateProcess(processHandle.get(), 0xDEAD);
  WaitForSingleObject(processHandle.get(), INFINITE);
  GetExitCodeProcess(processHandle.get(), &outcome.exitCode);
  reader.join();
  return outcome;
}

std::wstring BesideThisProgram(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

}  // namespace hvtest
