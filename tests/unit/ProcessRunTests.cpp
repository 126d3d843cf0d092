#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Harness.h"
#include "Imports.h"
#include "Process/ProcessRun.h"

namespace {

using vantor::process::ProcessSpec;
using vantor::process::RunProcess;

void DescribeProbe(ProcessSpec& spec, const std::wstring& arguments) {
  spec.application = harness::ProgramDirectory() + L"ProbeInstaller.exe";
  spec.commandLine = harness::Quote(spec.application) + L" " + arguments;
}

std::string RunExpectingError(const ProcessSpec& spec) {
  std::uint32_t exitCode = 1;
  try {
    RunProcess(spec, exitCode);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

// The child is ended within one wait slice (1000 ms) of its limit.
TEST(RunProcess, TimeLimitEndsAChildThatKeepsRunning) {
  for (const std::int64_t limit : {1000, 0, -5}) {
    ProcessSpec spec;
    DescribeProbe(spec, L"/sleep:60000");
    spec.timeout = limit;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(RunExpectingError(spec), "Process timed out") << limit;
    const ULONGLONG waited = ::GetTickCount64() - start;
    EXPECT_GE(waited + 50, static_cast<ULONGLONG>(std::max<std::int64_t>(limit, 0))) << limit;  // tick granularity
    EXPECT_LT(waited, static_cast<ULONGLONG>(std::max<std::int64_t>(limit, 0) + 900)) << limit;
  }
}

// The child inherits the inheritable handles of its parent.
TEST(RunProcess, ChildInheritsInheritableHandles) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  const utilities::KernelHandle event(::CreateEventW(&inheritable, TRUE, TRUE, nullptr));
  ProcessSpec spec;
  DescribeProbe(spec, L"/reset-event:" + std::to_wstring(reinterpret_cast<std::uintptr_t>(event.Get())));
  std::uint32_t exitCode = 1;
  RunProcess(spec, exitCode);
  EXPECT_EQ(::WaitForSingleObject(event.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));  // the child reset it
}

// With a user token the child is started as that user, by CreateProcessAsUserW,
// and its full exit code comes back.
HANDLE tokenUsed;
decltype(&::CreateProcessAsUserW) createProcessAsUser;
BOOL WINAPI RecordStartAsUser(HANDLE token, LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES process,
                              LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                              LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
  tokenUsed = token;
  return createProcessAsUser(token, application, commandLine, process, thread, inherit, flags, environment, folder,
                             startup, info);
}

TEST(RunProcess, AUserTokenStartsTheChildAsThatUser) {
  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &token));
  ProcessSpec spec;
  DescribeProbe(spec, L"/exitcode:4294967295");
  spec.userToken.Reset(token);
  std::uint32_t exitCode = 1;
  {
    // Exported by both; the program imports it from one.
    const harness::Redirected advapi32("advapi32.dll", "CreateProcessAsUserW", &RecordStartAsUser, createProcessAsUser);
    const harness::Redirected kernel32("kernel32.dll", "CreateProcessAsUserW", &RecordStartAsUser, createProcessAsUser);
    ASSERT_TRUE(advapi32 || kernel32);
    RunProcess(spec, exitCode);
  }
  EXPECT_EQ(tokenUsed, token);
  EXPECT_EQ(exitCode, 4294967295u);  // all 32 bits
}

}  // namespace
