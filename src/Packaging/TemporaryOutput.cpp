// The output file: created exclusively under a random name in the output's
// folder, held from then on, flushed to disk and renamed into place.
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "Packaging/FileIo.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <bcrypt.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vantor::packaging {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kRandomBytes = 16;

// ".vantor-pack-<32 hex digits>.partial": 128 bits from the system's
// cryptographic random source, so that nobody can plant anything at the name
// beforehand (and creation is exclusive should anyone try).
std::string RandomName() {
  std::array<unsigned char, kRandomBytes> random{};
#ifdef _WIN32
  const NTSTATUS status = ::BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) throw std::system_error(static_cast<int>(status), std::system_category(), "cannot get random bytes");
#else
  for (std::size_t got = 0; got < random.size();) {
    const ssize_t count = ::getrandom(random.data() + got, random.size() - got, 0);
    if (count < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "cannot get random bytes");
    if (count > 0) got += static_cast<std::size_t>(count);
  }
#endif
  std::string name = ".vantor-pack-";
  for (const unsigned char byte : random) {
    name += "0123456789abcdef"[byte >> 4];
    name += "0123456789abcdef"[byte & 15];
  }
  return name + ".partial";
}

fs::path FolderOf(const fs::path& target) { return target.has_parent_path() ? target.parent_path() : fs::path("."); }

}  // namespace

#ifdef _WIN32

namespace {

[[noreturn]] void ThrowLastError(const std::string& message) {
  throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), message);
}

// While the output is renamed into place, Ctrl+C and its kin wait: the file
// is no longer delete-pending then, and the rename completes the output.
BOOL WINAPI Postpone(DWORD) { return TRUE; }

void SetDeletePending(HANDLE file, bool pending) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = pending;
  if (!::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
    ThrowLastError("cannot set the output's disposition");
}

// Renames the file by its handle over whatever has the target's name. A pack
// racing to the same output holds its file open for a moment after its own
// rename, and a file that is open cannot be replaced (access denied): that
// moment is waited out, a target held open for longer is not.
bool RenameReplacing(HANDLE file, std::vector<std::uint8_t>& info) {
  constexpr int kAttempts = 100;
  constexpr DWORD kPauseMs = 10;
  for (int attempt = 1;; ++attempt) {
    if (::SetFileInformationByHandle(file, FileRenameInfo, info.data(), static_cast<DWORD>(info.size()))) return true;
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == kAttempts) return false;
    ::Sleep(kPauseMs);
  }
}

}  // namespace

// The file is delete-pending until Commit: however the process ends before
// that, closing its handle removes it.
struct TemporaryOutput::Place {
  HANDLE handle = INVALID_HANDLE_VALUE;  // owned by the stream once it exists
};

namespace {

File CreateExclusive(const fs::path& target, HANDLE& handle) {
  const fs::path path = fs::absolute(FolderOf(target)) / RandomName();
  // Nobody else may read or write it; deleting or renaming stays open to
  // others, so that a pack racing to the same output can replace it the
  // moment it is in place (this one renames by handle, not by name).
  handle = ::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) ThrowLastError("cannot create " + Describe("file", path));
  try {
    SetDeletePending(handle, true);
  } catch (...) {
    ::CloseHandle(handle);
    throw;
  }
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (descriptor == -1) {
    ::CloseHandle(handle);
    throw std::system_error(errno, std::generic_category(), "cannot open " + Describe("file", path));
  }
  std::FILE* stream = ::_fdopen(descriptor, "wb");
  if (stream == nullptr) {
    ::_close(descriptor);
    throw std::system_error(errno, std::generic_category(), "cannot open " + Describe("file", path));
  }
  return File(stream, Describe("file", path));
}

}  // namespace

TemporaryOutput::TemporaryOutput(const fs::path& target)
    : target_(target), place_(std::make_unique<Place>()), file_(CreateExclusive(target, place_->handle)) {}

TemporaryOutput::~TemporaryOutput() { file_.Discard(); }

void TemporaryOutput::Commit() {
  file_.Flush();
  const HANDLE handle = place_->handle;
  if (!::FlushFileBuffers(handle)) ThrowLastError("cannot write " + Describe("output", target_));
  const std::wstring name = fs::absolute(target_).wstring();
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, name.data(), nameBytes);

  ::SetConsoleCtrlHandler(Postpone, TRUE);
  try {
    SetDeletePending(handle, false);
    if (!RenameReplacing(handle, buffer)) {
      const DWORD error = ::GetLastError();
      SetDeletePending(handle, true);
      throw std::system_error(static_cast<int>(error), std::system_category(), "cannot rename the output to " + Describe("output", target_));
    }
  } catch (...) {
    ::SetConsoleCtrlHandler(Postpone, FALSE);
    throw;
  }
  ::SetConsoleCtrlHandler(Postpone, FALSE);
  file_.Close();
}

#else

namespace {

// The partial file that a signal handler removes, set and cleared only with
// those signals blocked. One output at a time.
volatile std::sig_atomic_t gFolder = -1;
char gName[64];
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemovePartialAndEnd(int signal) {
  if (gFolder >= 0) ::unlinkat(gFolder, gName, 0);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// The signals above, held back while this lives.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

// Installs the handler once, for each signal not ignored (a pack started
// with nohup keeps ignoring SIGHUP).
void InstallHandler() {
  static const bool installed = [] {
    for (const int signal : kSignals) {
      struct sigaction previous {};
      sigaction(signal, nullptr, &previous);
      if (previous.sa_handler == SIG_IGN) continue;
      struct sigaction action {};
      action.sa_handler = RemovePartialAndEnd;
      sigemptyset(&action.sa_mask);
      sigaction(signal, &action, nullptr);
    }
    return true;
  }();
  static_cast<void>(installed);
}

[[noreturn]] void ThrowErrno(int error, const std::string& message) {
  throw std::system_error(error, std::generic_category(), message);
}

}  // namespace

// The folder, held open so that the name is always looked up in the same
// one, and the file's name and identity there.
struct TemporaryOutput::Place {
  int folder = -1;
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
  bool present = false;  // created, not yet renamed

  Place() = default;
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  ~Place() {
    if (present) {
      const SignalsHeld held;
      Remove();
    }
    if (folder >= 0) ::close(folder);
  }

  // Whether the name still leads to the file created.
  bool StillOurs() const {
    struct stat now {};
    return ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == device && now.st_ino == inode;
  }
  // With the signals held.
  void Remove() {
    if (StillOurs()) ::unlinkat(folder, name.c_str(), 0);
    gFolder = -1;
    present = false;
  }

  File Create(const fs::path& target) {
    const fs::path folderPath = FolderOf(target);
    folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) ThrowErrno(errno, "cannot open " + Describe("folder", folderPath));
    name = RandomName();
    const std::string what = Describe("file", folderPath / name);
    InstallHandler();
    int descriptor = -1;
    {
      const SignalsHeld held;
      if (gFolder >= 0) throw std::logic_error("one output at a time");
      descriptor = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (descriptor < 0) ThrowErrno(errno, "cannot create " + what);
      std::memcpy(gName, name.c_str(), name.size() + 1);
      gFolder = folder;
      present = true;
    }
    struct stat created {};
    ::fstat(descriptor, &created);
    device = created.st_dev;
    inode = created.st_ino;
    std::FILE* stream = ::fdopen(descriptor, "wb");
    if (stream == nullptr) {
      const int error = errno;
      ::close(descriptor);
      ThrowErrno(error, "cannot open " + what);
    }
    return File(stream, what);
  }
};

static_assert(sizeof(gName) > sizeof(".vantor-pack-.partial") + 2 * kRandomBytes);

TemporaryOutput::TemporaryOutput(const fs::path& target)
    : target_(target), place_(std::make_unique<Place>()), file_(place_->Create(target)) {
  file_.WriteBehind();
}

TemporaryOutput::~TemporaryOutput() { file_.Discard(); }

void TemporaryOutput::Commit() {
  file_.Flush();
  if (::fsync(::fileno(file_.Stream())) != 0) ThrowErrno(errno, "cannot write " + Describe("output", target_));
  Place& place = *place_;
  {
    const SignalsHeld held;
    if (!place.StillOurs()) ThrowErrno(ENOENT, "the partial output was replaced: not renaming it to " + Describe("output", target_));
    if (::renameat(place.folder, place.name.c_str(), place.folder, target_.filename().c_str()) != 0)
      ThrowErrno(errno, "cannot rename the output to " + Describe("output", target_));
    gFolder = -1;
    place.present = false;
  }
  ::fsync(place.folder);  // the rename itself to disk; a folder that cannot be synced was written all the same
  file_.Close();
}

#endif

}  // namespace vantor::packaging
