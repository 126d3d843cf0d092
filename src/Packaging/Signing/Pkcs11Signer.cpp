#include "Packaging/Signing/Pkcs11Signer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "Packaging/Files/FileIo.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

constexpr CK_ULONG kMaxSlots = 256;
constexpr CK_ULONG kMaxSignature = 2048;  // bytes: a 16384-bit RSA key
constexpr std::size_t kMaxPinFile = 256;

std::string ReturnName(CK_RV rv) {
  struct Name {
    CK_RV rv;
    const char* name;
  };
  static constexpr std::array<Name, 12> kNames = {{
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
      {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
      {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
      {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT"},
      {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID"},
      {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
      {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
      {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
      {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
      {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED"},
  }};
  for (const Name& known : kNames)
    if (known.rv == rv) return known.name;
  char text[32];
  std::snprintf(text, sizeof text, "CKR 0x%lX", static_cast<unsigned long>(rv));
  return text;
}

// Raises `Error` unless the module answered CKR_OK.
template <typename Error = std::runtime_error>
void Check(CK_RV rv, const std::string& what) {
  if (rv != CKR_OK) throw Error("PKCS#11: " + what + " (" + ReturnName(rv) + ")");
}

// Whether the memory at `address` is mapped from the file `file` describes.
bool MappedFrom(const void* address, const struct stat& file) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  for (std::string line; std::getline(maps, line);) {
    unsigned long long start = 0, end = 0, offset = 0, inode = 0;
    unsigned major = 0, minor = 0;
    char permissions[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s %llx %x:%x %llu", &start, &end, permissions, &offset, &major, &minor,
                    &inode) == 7 &&
        start <= at && at < end)
      return inode == file.st_ino && makedev(major, minor) == file.st_dev;
  }
  return false;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }

 private:
  int fd_;
};

// The module: its file opened and checked, loaded, proved to be that file,
// initialised for this process and finalised again.
class Module {
 public:
  explicit Module(const std::filesystem::path& path) {
    const std::string what = Describe("PKCS#11 module", path);
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0) throw InputError(what + " cannot be opened");
    if (!S_ISREG(status.st_mode)) throw InputError(what + " is not a regular file");
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (status.st_uid != 0 && status.st_uid != ::geteuid()))
      throw InputError(what + " can be changed by another user");
    library_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) throw InputError(what + " cannot be loaded: " + ::dlerror());
    try {
      Initialize(what, status);
    } catch (...) {
      ::dlclose(library_);
      throw;
    }
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  ~Module() {
    if (initialized_) functions_->C_Finalize(nullptr);
    ::dlclose(library_);
  }
  const CK_FUNCTION_LIST& Functions() const { return *functions_; }

 private:
  void Initialize(const std::string& what, const struct stat& checked) {
    CK_C_GetFunctionList getFunctionList = nullptr;
    void* symbol = ::dlsym(library_, "C_GetFunctionList");
    // The loader found the library by its name, anew (or one loaded before
    // under that name): what runs must be the file that was checked.
    if (symbol != nullptr && !MappedFrom(symbol, checked))
      throw InputError(what + " changed while it was loaded, or another library of its name is loaded");
    static_assert(sizeof symbol == sizeof getFunctionList);
    std::copy_n(reinterpret_cast<const char*>(&symbol), sizeof symbol, reinterpret_cast<char*>(&getFunctionList));
    if (getFunctionList == nullptr) throw InputError(what + " is not a PKCS#11 module (no C_GetFunctionList)");
    Check<InputError>(getFunctionList(&functions_), what + ": C_GetFunctionList failed");
    if (functions_ == nullptr || functions_->version.major != 2)
      throw InputError(what + " does not offer the PKCS#11 2.x interface");
    const CK_FUNCTION_LIST& f = *functions_;
    for (const void* function : {reinterpret_cast<const void*>(f.C_Initialize), reinterpret_cast<const void*>(f.C_Finalize),
                                 reinterpret_cast<const void*>(f.C_GetInfo), reinterpret_cast<const void*>(f.C_GetSlotList),
                                 reinterpret_cast<const void*>(f.C_GetTokenInfo), reinterpret_cast<const void*>(f.C_OpenSession),
                                 reinterpret_cast<const void*>(f.C_CloseSession), reinterpret_cast<const void*>(f.C_Login),
                                 reinterpret_cast<const void*>(f.C_FindObjectsInit), reinterpret_cast<const void*>(f.C_FindObjects),
                                 reinterpret_cast<const void*>(f.C_FindObjectsFinal), reinterpret_cast<const void*>(f.C_SignInit),
                                 reinterpret_cast<const void*>(f.C_Sign)})
      if (function == nullptr) throw InputError(what + " lacks a function signing needs");
    CK_C_INITIALIZE_ARGS arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    const CK_RV rv = f.C_Initialize(&arguments);
    if (rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) Check<InputError>(rv, what + ": C_Initialize failed");
    initialized_ = rv == CKR_OK;
  }

  void* library_ = nullptr;
  CK_FUNCTION_LIST_PTR functions_ = nullptr;
  bool initialized_ = false;
};

class Session {
 public:
  Session(const CK_FUNCTION_LIST& f, CK_SLOT_ID slot) : f_(f) {
    Check<InputError>(f_.C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_), "cannot open a session");
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { f_.C_CloseSession(handle_); }  // also logs out, being the last
  CK_SESSION_HANDLE Get() const { return handle_; }

 private:
  const CK_FUNCTION_LIST& f_;
  CK_SESSION_HANDLE handle_ = 0;
};

// A blank-padded fixed-size field of the module's as text (some pad with NULs).
template <std::size_t N>
std::string Padded(const CK_UTF8CHAR (&field)[N]) {
  std::size_t size = N;
  while (size > 0 && (field[size - 1] == ' ' || field[size - 1] == '\0')) --size;
  return std::string(reinterpret_cast<const char*>(field), size);
}

bool Matches(const std::optional<std::string>& wanted, const std::string& actual) { return !wanted || *wanted == actual; }

std::vector<CK_SLOT_ID> SlotsWithTokens(const CK_FUNCTION_LIST& f) {
  for (int attempt = 0; attempt < 3; ++attempt) {  // tokens may come and go between the two calls
    CK_ULONG count = 0;
    Check<InputError>(f.C_GetSlotList(CK_TRUE, nullptr, &count), "cannot list the slots");
    if (count > kMaxSlots) throw InputError("PKCS#11: the module reports " + std::to_string(count) + " slots");
    std::vector<CK_SLOT_ID> slots(count);
    CK_ULONG filled = count;
    const CK_RV rv = f.C_GetSlotList(CK_TRUE, slots.data(), &filled);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;
    Check<InputError>(rv, "cannot list the slots");
    if (filled > count) throw InputError("PKCS#11: the module listed more slots than it had room for");
    slots.resize(filled);
    return slots;
  }
  throw InputError("PKCS#11: the slot list keeps changing");
}

struct Token {
  CK_SLOT_ID slot;
  CK_FLAGS flags;
  std::string label;
};

Token FindToken(const CK_FUNCTION_LIST& f, const Pkcs11Uri& uri) {
  CK_INFO library{};
  Check<InputError>(f.C_GetInfo(&library), "cannot read the module's information");
  std::vector<Token> found;
  if (Matches(uri.libraryManufacturer, Padded(library.manufacturerID)) &&
      Matches(uri.libraryDescription, Padded(library.libraryDescription))) {
    for (const CK_SLOT_ID slot : SlotsWithTokens(f)) {
      CK_TOKEN_INFO info{};
      // Skipped: a token gone since it was listed, and one not initialised (no keys).
      if (f.C_GetTokenInfo(slot, &info) != CKR_OK || !(info.flags & CKF_TOKEN_INITIALIZED)) continue;
      if ((!uri.slotId || *uri.slotId == slot) && Matches(uri.token, Padded(info.label)) &&
          Matches(uri.manufacturer, Padded(info.manufacturerID)) && Matches(uri.serial, Padded(info.serialNumber)) &&
          Matches(uri.model, Padded(info.model)))
        found.push_back({slot, info.flags, Padded(info.label)});
    }
  }
  if (found.empty()) throw InputError("PKCS#11: no token matches the URI");
  if (found.size() > 1)
    throw InputError("PKCS#11: " + std::to_string(found.size()) + " tokens match the URI; name one (token=...)");
  return found.front();
}

std::optional<std::string> ChoosePin(const Pkcs11Uri& uri, const std::optional<std::string>& pin) {
  if (pin && (uri.pinValue || uri.pinSource)) throw InputError("PKCS#11: the PIN is given twice (in the URI and apart)");
  if (pin) return pin;
  if (uri.pinValue) return uri.pinValue;
  if (!uri.pinSource) return std::nullopt;
  // pin-source: a file, named by a path or a file: URI; its first line is the PIN.
  std::filesystem::path source = uri.pinSource->rfind("file:", 0) == 0 ? uri.pinSource->substr(5) : *uri.pinSource;
  const std::vector<std::uint8_t> bytes = File::OpenInput("PIN source", source).ReadAll(kMaxPinFile);
  std::string text(bytes.begin(), bytes.end());
  text.erase(std::min(text.find('\n'), text.size()));
  return text;
}

void LogIn(const CK_FUNCTION_LIST& f, const Session& session, const Token& token, const std::optional<std::string>& pin) {
  if (!(token.flags & CKF_LOGIN_REQUIRED) && !pin) return;
  CK_RV rv;
  if (pin) {
    std::vector<CK_UTF8CHAR> bytes(pin->begin(), pin->end());
    rv = f.C_Login(session.Get(), CKU_USER, bytes.data(), bytes.size());
  } else if (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
    rv = f.C_Login(session.Get(), CKU_USER, nullptr, 0);  // the PIN is entered on the device
  } else {
    throw InputError("PKCS#11: token '" + token.label + "' needs a PIN");
  }
  if (rv != CKR_USER_ALREADY_LOGGED_IN) Check<InputError>(rv, "cannot log in to token '" + token.label + "'");
}

CK_OBJECT_HANDLE FindKey(const CK_FUNCTION_LIST& f, const Session& session, const Pkcs11Uri& uri, const Token& token) {
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE keyType = CKK_RSA;
  std::vector<CK_ATTRIBUTE> search = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_KEY_TYPE, &keyType, sizeof keyType}};
  std::string label = uri.object.value_or("");
  std::vector<std::uint8_t> id = uri.id.value_or(std::vector<std::uint8_t>());
  if (uri.object) search.push_back({CKA_LABEL, label.data(), label.size()});
  if (uri.id) search.push_back({CKA_ID, id.data(), id.size()});
  Check<InputError>(f.C_FindObjectsInit(session.Get(), search.data(), search.size()), "cannot search the token");
  std::array<CK_OBJECT_HANDLE, 2> keys{};
  CK_ULONG count = 0;
  const CK_RV rv = f.C_FindObjects(session.Get(), keys.data(), keys.size(), &count);
  f.C_FindObjectsFinal(session.Get());
  Check<InputError>(rv, "cannot search the token");
  if (count > keys.size()) throw InputError("PKCS#11: the module found more keys than it had room for");
  if (count == 0) throw InputError("PKCS#11: token '" + token.label + "' holds no RSA private key that the URI names");
  if (count > 1)
    throw InputError("PKCS#11: token '" + token.label + "' holds several RSA private keys that the URI names; name one (object=... or id=...)");
  return keys[0];
}

}  // namespace

std::filesystem::path DefaultPkcs11Module() { return VANTOR_PKCS11_PROXY; }

std::vector<std::uint8_t> SignWithToken(const Pkcs11Uri& uri, const std::filesystem::path& module,
                                        const std::optional<std::string>& pin, std::string_view message) {
  const std::optional<std::string> chosenPin = ChoosePin(uri, pin);
  const Module loaded(module);
  const CK_FUNCTION_LIST& f = loaded.Functions();
  const Token token = FindToken(f, uri);
  const Session session(f, token.slot);
  LogIn(f, session, token, chosenPin);
  const CK_OBJECT_HANDLE key = FindKey(f, session, uri, token);

  CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
  Check(f.C_SignInit(session.Get(), &mechanism, key), "the token cannot sign with RSA PKCS#1 v1.5 and SHA-256");
  std::vector<CK_BYTE> data(message.begin(), message.end());
  CK_ULONG size = 0;
  Check(f.C_Sign(session.Get(), data.data(), data.size(), nullptr, &size), "the token did not sign");
  if (size == 0 || size > kMaxSignature) throw std::runtime_error("PKCS#11: the token announced a signature of " + std::to_string(size) + " bytes");
  std::vector<std::uint8_t> signature(size);
  CK_ULONG written = size;
  Check(f.C_Sign(session.Get(), data.data(), data.size(), signature.data(), &written), "the token did not sign");
  if (written == 0 || written > size) throw std::runtime_error("PKCS#11: the token wrote a signature of " + std::to_string(written) + " bytes");
  signature.resize(written);
  return signature;
}

}  // namespace vantor::packaging
