#include "Packaging/Signing/Pkcs11Uri.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

constexpr std::string_view kScheme = "pkcs11:";
constexpr std::size_t kMaxLength = 4096;

std::string Fault(const std::string& what) { return "PKCS#11 URI: " + what; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Characters a value may hold unescaped: RFC 3986's unreserved ones and those
// RFC 7512 leaves free in a path (pk11-res-avail) or a query (pk11-qres-avail).
bool Allowed(char c, bool query) {
  const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::strchr("-._~", c) != nullptr;
  return c != '\0' && (unreserved || std::strchr(":[]@!$'()*+,=", c) != nullptr || (query && std::strchr("/?|", c) != nullptr));
}

std::string Decode(std::string_view value, bool query, std::string_view name) {
  std::string decoded;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%') {
      const int high = i + 2 < value.size() ? HexDigit(value[i + 1]) : -1;
      const int low = high >= 0 ? HexDigit(value[i + 2]) : -1;
      if (low < 0) throw InputError(Fault("a bad percent escape in " + std::string(name)));
      decoded += static_cast<char>(high << 4 | low);
      i += 2;
    } else if (Allowed(value[i], query)) {
      decoded += value[i];
    } else {
      throw InputError(Fault("a character that must be percent-escaped in " + std::string(name)));
    }
  }
  return decoded;
}

void Set(std::optional<std::string>& field, std::string value, std::string_view name) {
  if (field) throw InputError(Fault(std::string(name) + " given twice"));
  field = std::move(value);
}

void SetPathAttribute(Pkcs11Uri& uri, std::string_view name, std::string value, bool& typeSeen) {
  if (name == "token") return Set(uri.token, std::move(value), name);
  if (name == "manufacturer") return Set(uri.manufacturer, std::move(value), name);
  if (name == "serial") return Set(uri.serial, std::move(value), name);
  if (name == "model") return Set(uri.model, std::move(value), name);
  if (name == "library-manufacturer") return Set(uri.libraryManufacturer, std::move(value), name);
  if (name == "library-description") return Set(uri.libraryDescription, std::move(value), name);
  if (name == "object") return Set(uri.object, std::move(value), name);
  if (name == "id") {
    if (uri.id) throw InputError(Fault("id given twice"));
    uri.id = std::vector<std::uint8_t>(value.begin(), value.end());
    return;
  }
  if (name == "type") {
    if (typeSeen) throw InputError(Fault("type given twice"));
    typeSeen = true;
    if (value != "private") throw InputError(Fault("type=" + value + " does not name a private key"));
    return;
  }
  if (name == "slot-id") {
    if (uri.slotId) throw InputError(Fault("slot-id given twice"));
    unsigned long id = 0;
    for (const char c : value) {
      if (c < '0' || c > '9' || id > (static_cast<unsigned long>(-1) - 9) / 10)
        throw InputError(Fault("slot-id is not a number"));
      id = id * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value.empty()) throw InputError(Fault("slot-id is not a number"));
    uri.slotId = id;
    return;
  }
  throw InputError(Fault("the attribute '" + std::string(name) + "' is not one this packer reads"));
}

void SetQueryAttribute(Pkcs11Uri& uri, std::string_view name, std::string value) {
  if (name == "pin-value") return Set(uri.pinValue, std::move(value), name);
  if (name == "pin-source") return Set(uri.pinSource, std::move(value), name);
  if (name == "module-name" || name == "module-path")
    throw InputError(Fault(std::string(name) + " is not taken from the URI; name the module with --pkcs11-module"));
  throw InputError(Fault("the query attribute '" + std::string(name) + "' is not one this packer reads"));
}

// Calls `take(name, value)` for each "name=value" in `part`, split at `separator`.
template <typename Take>
void ForEachAttribute(std::string_view part, char separator, bool query, Take take) {
  if (part.empty()) return;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(part.find(separator, start), part.size());
    const std::string_view attribute = part.substr(start, end - start);
    const std::size_t equals = attribute.find('=');
    if (attribute.empty() || equals == 0 || equals == std::string_view::npos)
      throw InputError(Fault("an attribute that is not name=value"));
    const std::string_view name = attribute.substr(0, equals);
    take(name, Decode(attribute.substr(equals + 1), query, name));
    if (end == part.size()) return;
    start = end + 1;
  }
}

}  // namespace

bool IsPkcs11Uri(std::string_view text) {
  // The scheme, in any case.
  const std::string_view scheme = text.substr(0, kScheme.size());
  return scheme.size() == kScheme.size() &&
         std::equal(scheme.begin(), scheme.end(), kScheme.begin(),
                    [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

Pkcs11Uri ParsePkcs11Uri(std::string_view text) {
  if (text.size() > kMaxLength) throw InputError(Fault("longer than 4 KiB"));
  if (!IsPkcs11Uri(text)) throw InputError(Fault("does not start with pkcs11:"));
  const std::string_view rest = text.substr(kScheme.size());
  const std::size_t question = std::min(rest.find('?'), rest.size());
  Pkcs11Uri uri;
  bool typeSeen = false;
  ForEachAttribute(rest.substr(0, question), ';', false,
                   [&](std::string_view name, std::string value) { SetPathAttribute(uri, name, std::move(value), typeSeen); });
  if (question < rest.size()) {
    ForEachAttribute(rest.substr(question + 1), '&', true,
                     [&](std::string_view name, std::string value) { SetQueryAttribute(uri, name, std::move(value)); });
  }
  if (uri.pinValue && uri.pinSource) throw InputError(Fault("pin-value and pin-source both given"));
  return uri;
}

}  // namespace vantor::packaging
