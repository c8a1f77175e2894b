// Runs a Windows program as a child process and captures what it prints, for tests and benchmarks that
// need a fresh process (a DLL loaded anew, a peak working set of its own, a crash that must not end the
// caller).
#pragma once

#include <windows.h>

#include <string>

#include "support/scoped_handle.h"

namespace hvtest {

// Starts program with the command line "\"program\" arguments", its standard output and error on a pipe
// whose read end goes to output (it reaches its end once the child and its children have exited). False
// when it cannot start.
bool StartChild(const std::wstring& program, const std::wstring& arguments, hv::UniqueEvent& process,
                hv::UniqueFile& output);

struct ChildOutcome {
  bool started = false;
  bool finished = false;  // ended within the time limit (else it was terminated)
  DWORD exitCode = 0xFFFFFFFF;
  std::string output;  // its stdout and stderr together
};

// StartChild, then collects the output until the child ends, waiting for it up to timeoutMs; a child
// still running then is terminated.
ChildOutcome RunChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);

// The full path of the running program, and of a file beside it.
std::wstring ThisProgram();
std::wstring BesideThisProgram(const std::wstring& name);

}  // namespace hvtest
