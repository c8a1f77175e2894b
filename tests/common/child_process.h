// Runs a Windows program as a child process and captures what it prints, for tests and benchmarks that
// need a fresh process (a DLL loaded anew, a peak working set of its own, a crash that must not end the
// caller).
#pragma once

#include <windows.h>

#include <string>

namespace hvtest {

struct ChildOutcome {
  bool started = false;
  bool finished = false;          // ended within the time limit (else it was terminated)
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;             // its stdout and stderr together
};

// Starts program with the command line "\"program\" arguments", collects its output until it ends, and
// waits for it up to timeoutMs; a child still running then is terminated.
ChildOutcome RunChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);

// The full path of a file beside the running program.
std::wstring BesideThisProgram(const std::wstring& name);

}  // namespace hvtest
