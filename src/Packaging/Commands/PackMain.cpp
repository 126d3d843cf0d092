// vantor-pack: writes an installer and its signed manifest into a launcher
// stub, and the commands around it. One argument parser for all commands.
// Exit codes: PackError.h.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "Packaging/Commands/LauncherReport.h"
#include "Packaging/Commands/Packer.h"
#include "Packaging/Image/PeImage.h"
#include "Packaging/PackError.h"

namespace vantor::packaging {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPackHelp =
    "usage: vantor-pack [pack] --stub STUB --installer FILE --manifest FILE --output FILE\n"
    "                   [--version A.B.C.D] [--version-string KEY=VALUE]... [--icon FILE.ico]\n"
    "                   [--arch x86|x64]\n"
    "Writes a launcher: a copy of the launcher stub STUB that carries the installer\n"
    "FILE and its signed manifest. Every input is checked first: the stub must be an\n"
    "unsigned VantorSetup stub (of the architecture given by --arch), the installer a\n"
    "Windows program, the manifest in form, fitting the installer, its signature and\n"
    "certificate chain valid. Sign the output after packing.\n"
    "Your name, version and icon on the launcher (Explorer's properties, Task Manager):\n"
    "  --version A.B.C.D         the file and product version, the FileVersion and\n"
    "                            ProductVersion strings, and the manifest's assembly version\n"
    "  --version-string KEY=VALUE  a version string (UTF-8), once per KEY; KEY is one of\n"
    "                            %KEYS%;\n"
    "                            it overrides what --version sets\n"
    "  --icon FILE.ico           the launcher's icon, all of its images (PNG ones too)\n";
constexpr const char* kVerifyHelp =
    "usage: vantor-pack verify-manifest --installer FILE --manifest FILE\n"
    "Checks a signed manifest against its installer, as packing does: form, size,\n"
    "MD5, the certificate rules, the signature over line 1 and that the signer's\n"
    "certificate is issued by the CA in it. On failure prints one line naming the\n"
    "check (form, size, md5, certificate, signature) and exits 2.\n";
constexpr const char* kMakeManifestHelp =
    "usage: vantor-pack make-manifest --installer FILE --key KEY --cert SIGNER.pem --ca CA.pem\n"
    "                                 --output FILE [--key-pass PASSWORD] [--pkcs11-module LIB]\n"
    "Writes the installer's signed manifest: line 1 '\"setup.exe\" <size> <md5>', the\n"
    "RSA PKCS#1 v1.5 SHA-256 signature over it by KEY, the signer's and the CA's\n"
    "certificates. KEY is a PEM private key (an encrypted one opened with\n"
    "--key-pass), a PKCS#12 file (--key-pass its password), on Linux a key in a\n"
    "PKCS#11 token named by an RFC 7512 URI (pkcs11:token=...;object=...;\n"
    "--key-pass its PIN), reached through the module LIB (default: p11-kit's\n"
    "proxy, which reaches every token the system registered), or on Windows the\n"
    "key of a certificate in a store, cert:\\CurrentUser\\My\\THUMBPRINT (or\n"
    "LocalMachine; a token's PIN in --key-pass, never asked for). The manifest passes\n"
    "verify-manifest's checks before anything is written, and is written the way\n"
    "pack writes its output.\n";
constexpr const char* kInspectHelp =
    "usage: vantor-pack inspect FILE [--json]\n"
    "Says what the launcher FILE carries, read and never run: architecture,\n"
    "version strings, icon sizes, the installer's size and SHA-256, the manifest's\n"
    "first line, signer and CA and whether it fits the installer and verifies under\n"
    "the certificate rules, the image's security properties, and whether it carries\n"
    "an Authenticode signature. --json: the same as one JSON object. A file that is\n"
    "no launcher of ours, or a damaged one: one line of reason, exit 2.\n";
constexpr const char* kPlaceHelp =
    "usage: vantor-pack place --file FILE --output FILE\n"
    "Copies FILE (a signed launcher, a manifest) to OUTPUT the way pack writes its\n"
    "output: never through a link, whole or not at all.\n";
constexpr const char* kCommands =
    "Commands: pack (the default), make-manifest, verify-manifest, inspect, place; vantor-pack COMMAND --help.\n"
    "Exit codes: 0 done, 1 write failure, 2 bad input (nothing written).\n";

// A command-line argument as UTF-8, for option names and values that are not
// paths. A Windows argument with an unpaired surrogate has no UTF-8 form.
std::string Utf8(const fs::path& argument) {
  try {
    const auto text = argument.u8string();
    return {text.begin(), text.end()};
  } catch (const std::exception&) {
    throw InputError("an argument is not valid Unicode text");
  }
}

// An option that takes a value; `take` stores it. A flag takes none (`take`
// gets an empty path); the option named "" is the argument that is not an
// option (a file name).
struct Option {
  const char* name;
  bool required;
  bool repeatable;
  std::function<void(const fs::path&)> take;
  bool flag = false;
};

struct Command {
  const char* name;
  const char* help;
  std::vector<Option> options;
  std::function<void()> run;
};

// Hands each "--name value" pair of `arguments` to its option; raises
// InputError for an unknown option, a missing value, a missing required
// option or one given twice that may be given once. Returns false for --help.
bool Parse(const std::vector<fs::path>& arguments, std::size_t first, std::vector<Option>& options) {
  std::vector<const Option*> given;
  for (std::size_t i = first; i < arguments.size(); ++i) {
    const std::string name = Utf8(arguments[i]);
    if (name == "--help" || name == "-h") return false;
    const bool positional = name.empty() || name[0] != '-';
    Option* option = nullptr;
    for (Option& candidate : options)
      if (positional ? *candidate.name == '\0' : name == candidate.name) option = &candidate;
    if (option == nullptr) throw InputError((positional ? "unexpected argument '" : "unknown option '") + name + "' (--help)");
    if (!positional && !option->flag && i + 1 == arguments.size()) throw InputError("'" + name + "' needs a value (--help)");
    for (const Option* other : given)
      if (other == option && !option->repeatable)
        throw InputError(positional ? "unexpected argument '" + name + "' (--help)" : "'" + name + "' given twice");
    given.push_back(option);
    option->take(positional ? arguments[i] : option->flag ? fs::path() : arguments[++i]);
  }
  for (const Option& option : options)
    if (option.required && std::find(given.begin(), given.end(), &option) == given.end())
      throw InputError(std::string("missing ") + (*option.name == '\0' ? "FILE" : option.name) + " (--help)");
  return true;
}

// Runs `step`, reporting a manifest check that fails as "CHECK: DETAIL".
template <typename Step>
void NamingTheCheck(Step step) {
  try {
    step();
  } catch (const ManifestError& error) {
    throw InputError(std::string(error.Check()) + ": " + error.Detail());
  }
}

std::string PackHelp() {
  std::string usage = kPackHelp;
  const std::string marker = "%KEYS%";
  return usage.replace(usage.find(marker), marker.size(), VersionStringKeys()) + kCommands;
}

int Run(const std::vector<fs::path>& arguments) {
  PackOptions pack;
  MakeManifestOptions make;
  ReportFormat format = ReportFormat::kText;
  fs::path installer, manifest, file, output;
  const auto path = [](fs::path& to) { return [&to](const fs::path& value) { to = value; }; };
  std::vector<Command> commands = {
      {"pack",
       nullptr,
       {{"--stub", true, false, path(pack.stub)},
        {"--installer", true, false, path(pack.installer)},
        {"--manifest", true, false, path(pack.manifest)},
        {"--output", true, false, path(pack.output)},
        {"--version", false, false, [&](const fs::path& v) { pack.version = ParseVersion(Utf8(v)); }},
        {"--version-string", false, true, [&](const fs::path& v) { AddVersionString(pack.versionStrings, Utf8(v)); }},
        {"--icon", false, false, [&](const fs::path& v) { pack.icon = v; }},
        {"--arch", false, false,
         [&](const fs::path& v) {
           const std::string arch = Utf8(v);
           if (arch != "x86" && arch != "x64") throw InputError("--arch must be x86 or x64, not '" + arch + "'");
           pack.machine = arch == "x86" ? pe::kMachineI386 : pe::kMachineAmd64;
         }}},
       [&] { Pack(pack); }},
      {"verify-manifest", kVerifyHelp, {{"--installer", true, false, path(installer)}, {"--manifest", true, false, path(manifest)}},
       [&] {
         NamingTheCheck([&] { VerifyManifestFiles(installer, manifest); });
         std::cout << "manifest valid: size, MD5, certificates, signature and chain\n";
       }},
      {"make-manifest",
       kMakeManifestHelp,
       {{"--installer", true, false, path(make.installer)},
        {"--key", true, false, [&](const fs::path& v) { make.key = Utf8(v); }},
        {"--cert", true, false, path(make.certificate)},
        {"--ca", true, false, path(make.ca)},
        {"--output", true, false, path(make.output)},
        {"--key-pass", false, false, [&](const fs::path& v) { make.keyPassword = Utf8(v); }},
        {"--pkcs11-module", false, false, [&](const fs::path& v) { make.pkcs11Module = v; }}},
       [&] { NamingTheCheck([&] { MakeManifest(make); }); }},
      {"inspect",
       kInspectHelp,
       {{"", true, false, path(file)},
        {"--json", false, false, [&](const fs::path&) { format = ReportFormat::kJson; }, true}},
       [&] { std::cout << InspectLauncher(file, format); }},
      {"place", kPlaceHelp, {{"--file", true, false, path(file)}, {"--output", true, false, path(output)}},
       [&] { PlaceFile(file, output); }},
  };
  try {
    // A first argument that is not an option names the command; pack is the default.
    const std::string first = arguments.empty() ? "" : Utf8(arguments[0]);
    const bool named = !first.empty() && first[0] != '-';
    Command* command = &commands[0];
    if (named) {
      command = nullptr;
      for (Command& candidate : commands)
        if (first == candidate.name) command = &candidate;
      if (command == nullptr) throw InputError("unknown command '" + first + "' (--help)");
    }
    if (!Parse(arguments, named ? 1 : 0, command->options)) {
      std::cout << (command->help != nullptr ? std::string(command->help) + kCommands : PackHelp());
      return kPackDone;
    }
    command->run();
    return kPackDone;
  } catch (const InputError& error) {
    std::cerr << "vantor-pack: " << error.what() << '\n';
    return kPackBadInput;
  } catch (const std::exception& error) {
    std::cerr << "vantor-pack: " << error.what() << '\n';
    return kPackWriteFailed;
  }
}

}  // namespace
}  // namespace vantor::packaging

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
  return vantor::packaging::Run({argv + 1, argv + argc});
}
