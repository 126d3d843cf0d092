// vantor-pack: writes an installer and its signed manifest into a launcher
// stub. Exit codes: PackError.h.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Packaging/PackError.h"
#include "Packaging/Packer.h"
#include "Packaging/PeImage.h"

namespace vantor::packaging {
namespace {

constexpr const char* kUsage =
    "usage: vantor-pack --stub STUB --installer FILE --manifest FILE --output FILE\n"
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
    "  --icon FILE.ico           the launcher's icon, all of its images (PNG ones too)\n"
    "Exit codes: 0 done, 1 write failure, 2 bad input (nothing written).\n";

std::string Usage() {
  std::string usage = kUsage;
  const std::string marker = "%KEYS%";
  return usage.replace(usage.find(marker), marker.size(), VersionStringKeys());
}

// A command-line argument as UTF-8, for option names and values that are not
// paths. A Windows argument with an unpaired surrogate has no UTF-8 form.
std::string Utf8(const std::filesystem::path& argument) {
  try {
    const auto text = argument.u8string();
    return {text.begin(), text.end()};
  } catch (const std::exception&) {
    throw InputError("an argument is not valid Unicode text");
  }
}

struct Command {
  bool help = false;
  PackOptions options;
};

Command ParseArguments(const std::vector<std::filesystem::path>& arguments) {
  Command command;
  PackOptions& options = command.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string name = Utf8(arguments[i]);
    if (name == "--help" || name == "-h") {
      command.help = true;
      return command;
    }
    if (i + 1 == arguments.size()) throw InputError("'" + name + "' needs a value, or is unknown (--help)");
    const std::filesystem::path& value = arguments[++i];
    if (name == "--stub") options.stub = value;
    else if (name == "--installer") options.installer = value;
    else if (name == "--manifest") options.manifest = value;
    else if (name == "--output") options.output = value;
    else if (name == "--version") options.version = ParseVersion(Utf8(value));
    else if (name == "--version-string") AddVersionString(options.versionStrings, Utf8(value));
    else if (name == "--icon") options.icon = value;
    else if (name == "--arch" && Utf8(value) == "x86") options.machine = pe::kMachineI386;
    else if (name == "--arch" && Utf8(value) == "x64") options.machine = pe::kMachineAmd64;
    else if (name == "--arch") throw InputError("--arch must be x86 or x64, not '" + Utf8(value) + "'");
    else throw InputError("unknown option '" + name + "' (--help)");
  }
  for (const auto& [path, name] : {std::pair{&options.stub, "--stub"}, {&options.installer, "--installer"},
                                   {&options.manifest, "--manifest"}, {&options.output, "--output"}})
    if (path->empty()) throw InputError(std::string("missing ") + name + " (--help)");
  return command;
}

int Run(const std::vector<std::filesystem::path>& arguments) {
  try {
    const Command command = ParseArguments(arguments);
    if (command.help) {
      std::cout << Usage();
      return kPackDone;
    }
    Pack(command.options);
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
