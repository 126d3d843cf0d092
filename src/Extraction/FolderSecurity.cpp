#include "Extraction/FolderSecurity.h"

#include <cstring>

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

Bytes TokenOwnerSid() {
  HANDLE rawToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    vantorlib::ThrowLastError("OpenProcessToken failed");
  }
  const utilities::ScopedHandle token(rawToken);
  DWORD length = 0;
  ::GetTokenInformation(token.Get(), TokenOwner, nullptr, 0, &length);
  std::vector<BYTE> buffer(length);
  if (!::GetTokenInformation(token.Get(), TokenOwner, buffer.data(), length, &length)) {
    vantorlib::ThrowLastError("GetTokenInformation TokenOwner failed");
  }
  return SidBytes(static_cast<const SID*>(reinterpret_cast<const TOKEN_OWNER*>(buffer.data())->Owner));
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

std::vector<BYTE> ProtectedFolderSecurity() {
  Bytes aces;
  AppendAllowAce(aces, NtSid({SECURITY_LOCAL_SYSTEM_RID}));
  AppendAllowAce(aces, NtSid({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}));
  AppendAllowAce(aces, TokenOwnerSid());

  SECURITY_DESCRIPTOR_RELATIVE descriptor{};
  descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
  descriptor.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED;
  descriptor.Dacl = sizeof(descriptor);
  const ACL acl{ACL_REVISION, 0, static_cast<WORD>(sizeof(ACL) + aces.size()), 3, 0};

  Bytes result;
  Append(result, descriptor);
  Append(result, acl);
  result.insert(result.end(), aces.begin(), aces.end());
  return result;
}

}  // namespace vantor::extraction
