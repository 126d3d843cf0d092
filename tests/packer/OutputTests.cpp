// The output file: without a name until it is committed, or created
// exclusively under a new unpredictable name; renamed into the folder held
// from the start without following a link there; gone when the pack fails or
// is interrupted, even by SIGKILL where it has no name. And inputs: read
// through the one handle opened, never by their name again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "Packaging/Files/FileIo.h"
#include "Packaging/PackError.h"
#include "PackerTestSupport.h"

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

constexpr Naming kNamings[] = {Naming::kUnnamedWhereSupported, Naming::kNamed};

TEST(Output, HasNoNameUntilCommitted) {
  const test::TemporaryFolder folder;
  TemporaryOutput output(folder.Path() / "out.exe");
  Write(output, "packed");
  output.Stream().Flush();
  EXPECT_TRUE(Listing(folder.Path()).empty());
  output.Commit();
  EXPECT_EQ(Listing(folder.Path()), std::vector<std::string>{"out.exe"});
  EXPECT_EQ(Text(folder.Path() / "out.exe"), "packed");
}

TEST(Output, IsCreatedUnderANewUnpredictableNameWhereItHasOne) {
  const test::TemporaryFolder folder;
  std::set<std::string> names;
  for (int i = 0; i < 2; ++i) {
    TemporaryOutput output(folder.Path() / "out.exe", Naming::kNamed);
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

// A child process starts writing the output and is interrupted. A named
// file is removed by the handler, so SIGKILL is for the unnamed one only.
TEST(Output, LeavesNothingWhenInterrupted) {
  for (const Naming naming : kNamings) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ, SIGKILL}) {
      if (signal == SIGKILL && naming == Naming::kNamed) continue;
      const test::TemporaryFolder folder;
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        TemporaryOutput output(folder.Path() / "out.exe", naming);
        Write(output, "partial");
        output.Stream().Flush();
        ::raise(signal);
        ::_exit(0);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "signal " << signal << ", status " << status;
      EXPECT_TRUE(Listing(folder.Path()).empty()) << "signal " << signal << ", named " << (naming == Naming::kNamed);
    }
  }
}

// Another file renamed over the partial file is not ours to commit.
TEST(Output, RefusesToCommitAFileRenamedOverThePartialOne) {
  const test::TemporaryFolder folder;
  TemporaryOutput output(folder.Path() / "out.exe", Naming::kNamed);
  Write(output, "packed");
  const std::string partial = Listing(folder.Path()).at(0);
  std::ofstream(folder.Path() / "intruder") << "other";
  fs::rename(folder.Path() / "intruder", folder.Path() / partial);
  EXPECT_THROW(output.Commit(), std::system_error);
  EXPECT_FALSE(fs::exists(folder.Path() / "out.exe"));
  EXPECT_EQ(Text(folder.Path() / partial), "other");
}

// The output's folder is the one its path named at the start: re-pointing a
// link on that path before the commit does not move the output.
TEST(Output, IsCommittedIntoTheFolderHeldFromTheStart) {
  for (const Naming naming : kNamings) {
    const test::TemporaryFolder folder;
    fs::create_directory(folder.Path() / "first");
    fs::create_directory(folder.Path() / "second");
    fs::create_directory_symlink("first", folder.Path() / "link");
    TemporaryOutput output(folder.Path() / "link" / "out.exe", naming);
    Write(output, "packed");
    fs::remove(folder.Path() / "link");
    fs::create_directory_symlink("second", folder.Path() / "link");
    output.Commit();
    EXPECT_EQ(Text(folder.Path() / "first" / "out.exe"), "packed");
    EXPECT_TRUE(Listing(folder.Path() / "second").empty());
  }
}

TEST(Input, IsReadThroughTheHandleOpenedNotByItsName) {
  const test::TemporaryFolder folder;
  std::ofstream(folder.Path() / "input") << "checked";
  File input = File::OpenInput("input", folder.Path() / "input");
  std::ofstream(folder.Path() / "other") << "swapped";
  fs::rename(folder.Path() / "other", folder.Path() / "input");
  const std::vector<std::uint8_t> bytes = input.ReadAll(100);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "checked");
  EXPECT_THROW(input.ReadAll(6), InputError);
}

// Checked on what was opened; a FIFO is refused without waiting for a writer.
TEST(Input, RefusesWhatIsNoRegularNonEmptyFile) {
  const test::TemporaryFolder folder;
  ASSERT_EQ(::mkfifo((folder.Path() / "fifo").c_str(), 0600), 0);
  std::ofstream(folder.Path() / "empty");
  for (const char* name : {"fifo", "empty", "missing", "."})
    EXPECT_THROW(File::OpenInput("input", folder.Path() / name), InputError) << name;
}

}  // namespace
}  // namespace vantor::packaging
