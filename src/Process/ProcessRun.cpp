#include "Process/ProcessRun.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "Utilities/String.h"

namespace vantor::process {
namespace {

constexpr DWORD kWaitSlice = 1000;

[[noreturn]] void ThrowWithCode(const char* prefix, DWORD code) {
  throw std::runtime_error(prefix + vantorlib::string::ToDecimalString(static_cast<std::uint32_t>(code)));
}

const wchar_t* OrNull(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

bool LimitReached(const ProcessSpec& spec, std::int64_t waited) {
  return spec.timeout && *spec.timeout <= waited * kWaitSlice;
}

// How long an ended child may take to disappear, so that the files it had
// mapped are free again before the caller cleans up.
constexpr DWORD kEndingWait = 10000;

// Runs the record's start check on the suspended child and lets it go on only when
// the check passes. A child that fails the check, or cannot be resumed, is
// ended (exit code 1) before it has run, and its handle released.
void CheckThenResume(const ProcessSpec& spec, utilities::KernelHandle& process, HANDLE thread) {
  try {
    spec.startCheck(process.Get());
    if (::ResumeThread(thread) == static_cast<DWORD>(-1)) ThrowWithCode("ResumeThread failed: ", ::GetLastError());
  } catch (...) {
    ::TerminateProcess(process.Get(), 1);
    ::WaitForSingleObject(process.Get(), kEndingWait);
    process.Reset(nullptr);
    throw;
  }
}

}  // namespace

void StartProcess(const ProcessSpec& spec, STARTUPINFOW& startup, utilities::KernelHandle& process) {
  // The start call may write into the command line, so it gets a copy.
  std::vector<wchar_t> commandLine(spec.commandLine.begin(), spec.commandLine.end());
  commandLine.push_back(L'\0');

  const DWORD flags = spec.creationFlags | (spec.startCheck ? CREATE_SUSPENDED : 0);
  PROCESS_INFORMATION info{};
  const BOOL started =
      spec.userToken.Get() != nullptr
          ? ::CreateProcessAsUserW(spec.userToken.Get(), OrNull(spec.application), commandLine.data(), nullptr,
                                   nullptr, TRUE, flags, nullptr, OrNull(spec.workingDirectory), &startup, &info)
          : ::CreateProcessW(OrNull(spec.application), commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr,
                             OrNull(spec.workingDirectory), &startup, &info);
  if (!started) ThrowWithCode("CreateProcessW/CreateProcessAsUserW failed: ", ::GetLastError());

  const utilities::KernelHandle thread(info.hThread);
  process.Reset(info.hProcess);
  if (spec.startCheck) CheckThenResume(spec, process, thread.Get());
}

void RunProcess(const ProcessSpec& spec, std::uint32_t& exitCode) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  utilities::KernelHandle process;
  StartProcess(spec, startup, process);

  for (std::int64_t waited = 0;; ++waited) {
    if (LimitReached(spec, waited)) {
      if (!::TerminateProcess(process.Get(), 1)) ThrowWithCode("TerminateProcess failed: ", ::GetLastError());
      throw std::runtime_error("Process timed out");
    }
    const DWORD result = ::WaitForSingleObject(process.Get(), kWaitSlice);
    if (result == WAIT_OBJECT_0) break;
    if (result != WAIT_TIMEOUT) ThrowWithCode("WaitForSingleObject() failed: ", ::GetLastError());
  }

  DWORD code = 0;
  if (!::GetExitCodeProcess(process.Get(), &code)) ThrowWithCode("GetExitCodeProcess failed: ", ::GetLastError());
  exitCode = code;
  process.Reset(nullptr);
}

}  // namespace vantor::process
