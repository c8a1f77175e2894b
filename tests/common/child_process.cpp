#include "common/child_process.h"

#include <thread>

namespace hvtest {

bool StartChild(const std::wstring& program, const std::wstring& arguments, hv::UniqueEvent& process,
                hv::UniqueFile& output) {
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return false;
  output.reset(read);
  const hv::UniqueFile writeEnd(write);  // the child holds its own copy once started
  SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = writeEnd.get();
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    output.reset();
    return false;
  }
  process.reset(info.hProcess);
  CloseHandle(info.hThread);
  return true;
}

ChildOutcome RunChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
  ChildOutcome outcome;
  hv::UniqueEvent process;
  hv::UniqueFile output;
  outcome.started = StartChild(program, arguments, process, output);
  if (!outcome.started) return outcome;
  // The pipe is drained on a thread of its own, so that a child that never exits cannot block the wait.
  std::thread reader([&outcome, &output] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(output.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) outcome.output.append(buffer, got);
  });
  outcome.finished = WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
  if (!outcome.finished) TerminateProcess(process.get(), 0xDEAD);
  WaitForSingleObject(process.get(), INFINITE);
  GetExitCodeProcess(process.get(), &outcome.exitCode);
  reader.join();
  return outcome;
}

std::wstring ThisProgram() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return self;
}

std::wstring BesideThisProgram(const std::wstring& name) {
  const std::wstring path = ThisProgram();
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

}  // namespace hvtest
