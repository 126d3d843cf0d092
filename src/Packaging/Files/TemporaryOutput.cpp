// The output file: created exclusively under a random name in the output's
// folder, held from then on, flushed to disk and renamed into place.
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "Packaging/Files/FileIo.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>
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

// NT's own names for what the folder-relative calls take.
constexpr NTSTATUS kAccessDenied = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr ULONG kCreateNew = 2;             // FILE_CREATE
constexpr ULONG kSynchronousIo = 0x20;      // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectoryFile = 0x40;   // FILE_NON_DIRECTORY_FILE

}  // namespace

// The folder, held open from the start so that the file is created and
// renamed in the same one whatever its path comes to name meanwhile; the
// file is delete-pending until Commit: however the process ends before
// that, closing its handle removes it.
struct TemporaryOutput::Place {
  HANDLE folder = INVALID_HANDLE_VALUE;
  HANDLE handle = INVALID_HANDLE_VALUE;  // owned by the stream once it exists

  Place() = default;
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  ~Place() {
    if (folder != INVALID_HANDLE_VALUE) ::CloseHandle(folder);
  }

  File Create(const fs::path& target, Naming);
};

namespace {

[[noreturn]] void ThrowStatus(NTSTATUS status, const std::string& message) {
  throw std::system_error(static_cast<int>(::RtlNtStatusToDosError(status)), std::system_category(), message);
}

UNICODE_STRING Counted(const std::wstring& name) {
  const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  return {bytes, bytes, const_cast<PWSTR>(name.c_str())};
}

// Renames the file by its handle, to `name` in the held folder, over whatever
// has that name. A pack racing to the same output holds its file open for a
// moment after its own rename, and a file that is open cannot be replaced
// (access denied): that moment is waited out, a target held open for longer
// is not.
NTSTATUS RenameReplacing(HANDLE file, HANDLE folder, const std::wstring& name) {
  constexpr int kAttempts = 100;
  constexpr DWORD kPauseMs = 10;
  const std::size_t nameBytes = name.size() * sizeof(wchar_t);
  std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(rename->FileName, name.data(), nameBytes);
  for (int attempt = 1;; ++attempt) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ::NtSetInformationFile(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()), FileRenameInformation);
    if (NT_SUCCESS(status) || (status != kAccessDenied && status != kSharingViolation) || attempt == kAttempts) return status;
    ::Sleep(kPauseMs);
  }
}

}  // namespace

File TemporaryOutput::Place::Create(const fs::path& target, Naming) {
  const fs::path folderPath = FolderOf(target);
  folder = ::CreateFileW(folderPath.c_str(), FILE_TRAVERSE | FILE_ADD_FILE | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) ThrowLastError("cannot open " + Describe("folder", folderPath));
  const std::string name = RandomName();
  const std::wstring wideName(name.begin(), name.end());
  const std::string what = Describe("file", folderPath / name);
  // Nobody else may read or write it; deleting or renaming stays open to
  // others, so that a pack racing to the same output can replace it the
  // moment it is in place (this one renames by handle, not by name).
  UNICODE_STRING counted = Counted(wideName);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = ::NtCreateFile(&handle, GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes, &io, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, FILE_SHARE_DELETE, kCreateNew,
                                         kNonDirectoryFile | kSynchronousIo, nullptr, 0);
  if (!NT_SUCCESS(status)) ThrowStatus(status, "cannot create " + what);
  try {
    SetDeletePending(handle, true);
  } catch (...) {
    ::CloseHandle(handle);
    throw;
  }
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (descriptor == -1) {
    ::CloseHandle(handle);
    throw std::system_error(errno, std::generic_category(), "cannot open " + what);
  }
  std::FILE* stream = ::_fdopen(descriptor, "wb");
  if (stream == nullptr) {
    ::_close(descriptor);
    throw std::system_error(errno, std::generic_category(), "cannot open " + what);
  }
  return File(stream, what);
}

TemporaryOutput::TemporaryOutput(const fs::path& target, Naming naming)
    : target_(target), place_(std::make_unique<Place>()), file_(place_->Create(target, naming)) {}

TemporaryOutput::~TemporaryOutput() { file_.Discard(); }

void TemporaryOutput::Commit() {
  file_.Flush();
  const HANDLE handle = place_->handle;
  if (!::FlushFileBuffers(handle)) ThrowLastError("cannot write " + Describe("output", target_));
  ::SetConsoleCtrlHandler(Postpone, TRUE);
  try {
    SetDeletePending(handle, false);
    const NTSTATUS status = RenameReplacing(handle, place_->folder, target_.filename().wstring());
    if (!NT_SUCCESS(status)) {
      SetDeletePending(handle, true);
      ThrowStatus(status, "cannot rename the output to " + Describe("output", target_));
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
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

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
// one, and the file's name and identity there. Where the file system can, the
// file has no name until Commit (O_TMPFILE): however the process ends before
// that, nothing is left. Elsewhere it has its random name from the start.
struct TemporaryOutput::Place {
  int folder = -1;
  int descriptor = -1;  // owned by the stream once it exists
  std::string name;
  dev_t device = 0;
  ino_t inode = 0;
  bool present = false;  // has its name, not yet renamed

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
  // With the signals held: the name is the handler's to remove from now on.
  void Named() {
    std::memcpy(gName, name.c_str(), name.size() + 1);
    gFolder = folder;
    present = true;
  }
  // With the signals held.
  void Remove() {
    if (StillOurs()) ::unlinkat(folder, name.c_str(), 0);
    gFolder = -1;
    present = false;
  }
  // With the signals held: gives the unnamed file its name, exclusively (a
  // link fails where the name exists).
  void Link(const std::string& what) {
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
    if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        ::linkat(descriptor, "", folder, name.c_str(), AT_EMPTY_PATH) != 0)
      ThrowErrno(errno, "cannot link " + what);
    Named();
  }

  File Create(const fs::path& target, Naming naming) {
    const fs::path folderPath = FolderOf(target);
    folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) ThrowErrno(errno, "cannot open " + Describe("folder", folderPath));
    name = RandomName();
    const std::string what = Describe("file", folderPath / name);
    InstallHandler();
    if (naming == Naming::kUnnamedWhereSupported)
      descriptor = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (descriptor < 0) {
      const SignalsHeld held;
      if (gFolder >= 0) throw std::logic_error("one output at a time");
      descriptor = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (descriptor < 0) ThrowErrno(errno, "cannot create " + what);
      Named();
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

TemporaryOutput::TemporaryOutput(const fs::path& target, Naming naming)
    : target_(target), place_(std::make_unique<Place>()), file_(place_->Create(target, naming)) {
  file_.WriteBehind();
}

TemporaryOutput::~TemporaryOutput() { file_.Discard(); }

void TemporaryOutput::Commit() {
  file_.Flush();
  if (::fsync(::fileno(file_.Stream())) != 0) ThrowErrno(errno, "cannot write " + Describe("output", target_));
  Place& place = *place_;
  {
    const SignalsHeld held;
    if (!place.present) place.Link(Describe("output", target_));
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
