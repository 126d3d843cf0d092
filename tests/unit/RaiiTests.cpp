#include <gtest/gtest.h>

#include <windows.h>

#include <system_error>
#include <type_traits>
#include <vector>

#include "Utilities/Raii.h"

namespace {

using utilities::FileHandle;
using utilities::ScopedHandle;

std::vector<void*> released;
void RecordRelease(void* handle) { released.push_back(handle); }
using Owner = utilities::StaticRaii<void*, &RecordRelease, unsigned int, 0>;

void* Fake(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

// A real kernel handle, and whether it is still open.
HANDLE NewEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return ::GetHandleInformation(handle, &flags) != 0;
}

class StaticRaiiTest : public testing::Test {
 protected:
  void SetUp() override { released.clear(); }
};

TEST_F(StaticRaiiTest, ReleasesWhatItHoldsExactlyOnce) {
  { Owner empty; }
  EXPECT_TRUE(released.empty());
  {
    Owner owner(Fake(0x10));
    EXPECT_EQ(owner.Get(), Fake(0x10));
  }
  EXPECT_EQ(released, std::vector<void*>{Fake(0x10)});
}

TEST_F(StaticRaiiTest, ResetReleasesOnlyAnOldDifferentValue) {
  {
    Owner owner;
    owner.Reset(Fake(0x10));  // empty: only stores
    EXPECT_TRUE(released.empty());
    owner.Reset(Fake(0x10));  // same value: nothing
    EXPECT_TRUE(released.empty());
    owner.Reset(Fake(0x20));  // different: the old one goes
    EXPECT_EQ(released, std::vector<void*>{Fake(0x10)});
    EXPECT_EQ(owner.Get(), Fake(0x20));
  }
  EXPECT_EQ(released, (std::vector<void*>{Fake(0x10), Fake(0x20)}));
}

TEST_F(StaticRaiiTest, CannotBeCopied) {
  static_assert(!std::is_copy_constructible_v<Owner>);
  static_assert(!std::is_copy_assignable_v<Owner>);
  static_assert(!std::is_copy_constructible_v<utilities::KernelHandle>);
}

TEST(KernelHandle, ClosesARealHandle) {
  const HANDLE event = NewEvent();
  { utilities::KernelHandle owner(event); }
  EXPECT_FALSE(IsOpen(event));
}

TEST(FileHandle, DestructionClosesAndEmptyClosesNothing) {
  const HANDLE event = NewEvent();
  { FileHandle owner(event); }
  EXPECT_FALSE(IsOpen(event));
  { FileHandle empty; }  // INVALID_HANDLE_VALUE: the process pseudo-handle must not be touched
  EXPECT_TRUE(IsOpen(::GetCurrentProcess()));
}

TEST(FileHandle, AssignmentClosesTheOldHandleAndEmptiesTheSource) {
  const HANDLE first = NewEvent();
  const HANDLE second = NewEvent();
  FileHandle target(first);
  {
    FileHandle source(second);
    target = std::move(source);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_FALSE(source.IsOpen());
  }
  EXPECT_TRUE(IsOpen(second));  // the source's end did not close it
  EXPECT_EQ(target.Get(), second);
}

TEST(FileHandle, CloseEmptiesAndReportsFailure) {
  const HANDLE event = NewEvent();
  FileHandle owner(event);
  owner.Close();
  EXPECT_FALSE(owner.IsOpen());
  EXPECT_FALSE(IsOpen(event));

  FileHandle stale(event);  // already closed
  try {
    stale.Close();
    FAIL() << "did not throw";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(std::string(error.what()).rfind("Close(FileHandle) failed: ", 0), 0u) << error.what();
  }
  EXPECT_FALSE(stale.IsOpen());  // its destructor will not try again
}

TEST(ScopedHandle, ClosesNonNullOnly) {
  const HANDLE event = NewEvent();
  { ScopedHandle owner(event); }
  EXPECT_FALSE(IsOpen(event));
  { ScopedHandle empty(nullptr); }
}

}  // namespace
