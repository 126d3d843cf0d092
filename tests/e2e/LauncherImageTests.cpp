// The shipped launcher runs the demo installer it carries. Its image as a
// file is checked by the image tests (tests/image).
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "Harness.h"

namespace {

std::wstring LauncherPath() { return harness::ProgramDirectory() + L"VantorSetup.exe"; }

TEST(LauncherImage, RunsTheDemoInstallerItCarries) {
  harness::Launch launch;
  launch.application = LauncherPath();
  launch.commandLine = harness::Quote(launch.application) + L" /quiet \"with space\" /exitcode:3010";
  const harness::Outcome outcome = harness::Run(launch);
  EXPECT_FALSE(outcome.timedOut);
  ASSERT_EQ(outcome.messageBoxes.size(), 1u);
  EXPECT_EQ(outcome.messageBoxes[0].title, L"VantorSetup demo installer");
  EXPECT_NE(outcome.messageBoxes[0].text.find(L"manifest matches this installer"), std::wstring::npos);
  EXPECT_NE(outcome.messageBoxes[0].text.find(launch.commandLine), std::wstring::npos);
  EXPECT_EQ(outcome.exitCode, 3010u);
  EXPECT_TRUE(outcome.debugOutput.empty());  // the launcher itself says nothing
}

}  // namespace
