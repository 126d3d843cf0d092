// The output file: created exclusively under a new unpredictable name,
// renamed into place without following a link there, and gone when the pack
// fails or is interrupted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "PackerTestSupport.h"
#include "Packaging/FileIo.h"

namespace vantor::packaging {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

void Write(TemporaryOutput& output, const std::string& text) {
  output.Stream().Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string Text(const fs::path& path) {
  const auto bytes = test::ReadFile(path);
  return {bytes.begin(), bytes.end()};
}

TEST(Output, IsCreatedUnderANewUnpredictableName) {
  const test::TemporaryFolder folder;
  std::set<std::string> names;
  for (int i = 0; i < 2; ++i) {
    TemporaryOutput output(folder.Path() / "out.exe");
    const auto listing = Listing(folder.Path());
    ASSERT_EQ(listing.size(), 1u);
    EXPECT_EQ(listing[0].size(), std::string(".vantor-pack-.partial").size() + 32) << listing[0];
    names.insert(listing[0]);
  }
  EXPECT_EQ(names.size(), 2u);
  EXPECT_TRUE(Listing(folder.Path()).empty());
}

TEST(Output, ReplacesALinkAtTheOutputWithoutWritingThroughIt) {
  const test::TemporaryFolder folder;
  const fs::path victim = folder.Path() / "victim";
  std::ofstream(victim) << "keep";
  fs::create_symlink(victim, folder.Path() / "out.exe");
  TemporaryOutput output(folder.Path() / "out.exe");
  Write(output, "packed");
  output.Commit();
  EXPECT_EQ(Text(victim), "keep");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder.Path() / "out.exe")));
  EXPECT_EQ(Text(folder.Path() / "out.exe"), "packed");
  EXPECT_EQ(Listing(folder.Path()).size(), 2u);
}

TEST(Output, LeavesTheOldOutputWhenNotCommitted) {
  const test::TemporaryFolder folder;
  std::ofstream(folder.Path() / "out.exe") << "old";
  {
    TemporaryOutput output(folder.Path() / "out.exe");
    Write(output, "partial");
  }
  EXPECT_EQ(Listing(folder.Path()), std::vector<std::string>{"out.exe"});
  EXPECT_EQ(Text(folder.Path() / "out.exe"), "old");
}

// A child process starts writing the output and is interrupted.
TEST(Output, LeavesNothingWhenInterrupted) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const test::TemporaryFolder folder;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TemporaryOutput output(folder.Path() / "out.exe");
      Write(output, "partial");
      output.Stream().Flush();
      ::raise(signal);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "signal " << signal << ", status " << status;
    EXPECT_TRUE(Listing(folder.Path()).empty()) << "signal " << signal;
  }
}

}  // namespace
}  // namespace vantor::packaging
