#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>

#include "Harness.h"
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

TEST(RunProcess, TimeLimitEndsAChildThatKeepsRunning) {
  for (const std::int64_t limit : {2500, 0, -5}) {
    ProcessSpec spec;
    DescribeProbe(spec, L"/sleep:60000");
    spec.timeout = limit;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(RunExpectingError(spec), "Process timed out") << limit;
    EXPECT_LT(::GetTickCount64() - start, 30000u);  // not the child's minute
  }
}

TEST(RunProcess, DeliversTheFullExitCodeAndKeepsTheCommandLine) {
  ProcessSpec spec;
  DescribeProbe(spec, L"/exitcode:4294967295");
  const std::wstring before = spec.commandLine;
  std::uint32_t exitCode = 1;
  RunProcess(spec, exitCode);
  EXPECT_EQ(exitCode, 4294967295u);
  EXPECT_EQ(spec.commandLine, before);
}

}  // namespace
