#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <system_error>
#include <vector>

#include "Utilities/Raii.h"

namespace {

using utilities::FileHandle;

std::vector<void*> released;
void RecordRelease(void* handle) { released.push_back(handle); }
using Owner = utilities::StaticRaii<void*, &RecordRelease, unsigned int, 0>;

void* Fake(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

TEST(StaticRaii, ReleasesEachHeldValueOnceAndNothingWhenEmpty) {
  released.clear();
  {
    Owner empty;
    Owner owner;
    owner.Reset(Fake(0x10));  // from empty: only stores
    owner.Reset(Fake(0x10));  // the same value: nothing
    EXPECT_TRUE(released.empty());
    owner.Reset(Fake(0x20));  // another: the old one goes
    EXPECT_EQ(released, std::vector<void*>{Fake(0x10)});
  }
  EXPECT_EQ(released, (std::vector<void*>{Fake(0x10), Fake(0x20)}));
}

// A named event of this test's own: whether it still exists tells whether its
// last handle was closed, whatever numbers handles get meanwhile.
class NamedEvent {
 public:
  NamedEvent() : name_(L"vantor-raii-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++count_)) {}
  HANDLE Open() const { return ::CreateEventW(nullptr, TRUE, FALSE, name_.c_str()); }
  bool Exists() const {
    const HANDLE handle = ::OpenEventW(SYNCHRONIZE, FALSE, name_.c_str());
    if (handle != nullptr) ::CloseHandle(handle);
    return handle != nullptr;
  }

 private:
  static inline int count_ = 0;
  std::wstring name_;
};

// A FileHandle assigned over closes what it held and empties its source.
TEST(Owners, CloseWhatTheyHoldWhenTheyGoOrAreAssignedOver) {
  const NamedEvent kernel, file, scoped, replaced, moved;
  { const utilities::KernelHandle owner(kernel.Open()); }
  { const FileHandle owner(file.Open()); }
  { const utilities::ScopedHandle owner(scoped.Open()); }
  FileHandle target(replaced.Open());
  {
    FileHandle source(moved.Open());
    target = std::move(source);
    EXPECT_FALSE(source.IsOpen());
  }
  for (const NamedEvent* closed : {&kernel, &file, &scoped, &replaced}) EXPECT_FALSE(closed->Exists());
  EXPECT_TRUE(moved.Exists());  // the source's end did not close it
}

// A handle protected from closing stands for one whose close fails; it stays
// this test's own, so nothing else is closed by mistake.
TEST(FileHandle, CloseEmptiesTheOwnerAndReportsAFailure) {
  const NamedEvent event;
  const HANDLE handle = event.Open();
  ::SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
  FileHandle owner(handle);
  try {
    owner.Close();
    ADD_FAILURE() << "did not throw";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(std::string(error.what()).rfind("Close(FileHandle) failed: ", 0), 0u) << error.what();
  }
  EXPECT_FALSE(owner.IsOpen());  // its destructor will not try again
  ::SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
  ::CloseHandle(handle);
}

}  // namespace
