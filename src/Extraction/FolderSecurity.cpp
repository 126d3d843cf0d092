#include "Extraction/FolderSecurity.h"

#include <initializer_list>

#include "Utilities/Raii.h"
#include "Utilities/Throw.h"

namespace vantor::extraction {
namespace {

using Bytes = std::vector<BYTE>;

// A SID with the NT authority (5) and the given sub-authorities.
Bytes NtSid(std::initializer_list<DWORD> subAuthorities) {
  Bytes sid{SID_REVISION, static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0, 5};
  for (const DWORD value : subAuthorities) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    sid.insert(sid.end(), bytes, bytes + sizeof(value));
  }
  return sid;
}

Bytes SidBytes(const SID* sid) {
  const auto* bytes = reinterpret_cast<const BYTE*>(sid);
  return Bytes(bytes, bytes + 8 + 4 * sid->SubAuthorityCount);
}

// One fixed-size or variable-size piece of the token's information.
Bytes TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS which, const char* failure) {
  DWORD length = 0;
  ::GetTokenInformation(token, which, nullptr, 0, &length);
  Bytes buffer(length);
  if (!::GetTokenInformation(token, which, buffer.data(), length, &length)) vantorlib::ThrowLastError(failure);
  return buffer;
}

template <typename T>
void Append(Bytes& out, const T& value) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof(value));
}

// Full control for `sid`, inherited by files and folders below.
void AppendAllowAce(Bytes& acl, const Bytes& sid) {
  ACE_HEADER header{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                    static_cast<WORD>(sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + sid.size())};
  Append(acl, header);
  Append(acl, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
  acl.insert(acl.end(), sid.begin(), sid.end());
}

}  // namespace

RunningToken QueryRunningToken() {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    vantorlib::ThrowLastError("OpenProcessToken failed");
  }
  const utilities::ScopedHandle token(rawToken);
  const Bytes elevation = TokenInformation(token.Get(), TokenElevation, "GetTokenInformation TokenElevation failed");
  const Bytes user = TokenInformation(token.Get(), TokenUser, "GetTokenInformation TokenUser failed");
  return {reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())->TokenIsElevated != 0,
          SidBytes(static_cast<const SID*>(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid))};
}

std::vector<BYTE> ProtectedFolderSecurity(const RunningToken& token) {
  const Bytes system = NtSid({SECURITY_LOCAL_SYSTEM_RID});
  const Bytes administrators = NtSid({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  const Bytes& owner = token.elevated ? administrators : token.user;
  std::vector<const Bytes*> granted{&system, &administrators};
  if (!token.elevated) granted.push_back(&token.user);

  Bytes aces;
  for (const Bytes* sid : granted) AppendAllowAce(aces, *sid);
  const ACL acl{ACL_REVISION, 0, static_cast<WORD>(sizeof(ACL) + aces.size()), static_cast<WORD>(granted.size()), 0};

  // Header, owner, then the list; SIDs are whole 32-bit words long, so the
  // list stays aligned.
  SECURITY_DESCRIPTOR_RELATIVE descriptor{};
  descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
  descriptor.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED;
  descriptor.Owner = sizeof(descriptor);
  descriptor.Dacl = static_cast<DWORD>(sizeof(descriptor) + owner.size());

  Bytes result;
  Append(result, descriptor);
  result.insert(result.end(), owner.begin(), owner.end());
  Append(result, acl);
  result.insert(result.end(), aces.begin(), aces.end());
  return result;
}

}  // namespace vantor::extraction
