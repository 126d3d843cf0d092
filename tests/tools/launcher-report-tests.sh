#!/usr/bin/env bash
# vantor-pack inspect on launchers of one architecture, unsigned and signed:
# what the JSON report says is what went in (the installer's size and
# SHA-256, the signer, the version strings) and what the image is; a launcher
# whose installer was changed after packing says its manifest no longer
# matches; a stub, another program and damaged files are refused with one
# line and exit 2.
# Usage: launcher-report-tests.sh REPO BIN_DIR ARCH NATIVE_PACKER
set -uo pipefail
repo=$1 bin=$2 arch=$3 packer=$4
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stub=$bin/VantorSetup-stub.exe
case $arch in
  x86) installer=/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe ;;
  x64) installer=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cmd.exe ;;
esac
k=$work/keys
"$repo/tools/make-signing-keys" "$k" >/dev/null
"$packer" make-manifest --installer "$installer" --key "$k/signer.key" --cert "$k/signer.pem" --ca "$k/ca.pem" \
  --output "$work/scf.dat"
"$packer" --stub "$stub" --installer "$installer" --manifest "$work/scf.dat" --output "$work/Setup.exe" \
  --version-string 'CompanyName=Example "Ltd"'
osslsigncode sign -certs "$k/signer.pem" -key "$k/signer.key" -in "$work/Setup.exe" -out "$work/Signed.exe" >/dev/null

# expect LAUNCHER SIGNED MATCHES: the report's facts, checked in Python.
expect() {
  "$packer" inspect "$1" --json >"$work/report.json" &&
    python3 - "$work/report.json" "$arch" "$installer" "$2" "$3" <<'PY'
import hashlib, json, os, sys
report, arch, installer, signed, matches = sys.argv[1:]
r = json.load(open(report))
data = open(installer, "rb").read()
facts = {
    "architecture": (r["architecture"], arch),
    "installer.size": (r["installer"]["size"], len(data)),
    "installer.sha256": (r["installer"]["sha256"], hashlib.sha256(data).hexdigest() if matches == "true" else r["installer"]["sha256"]),
    "manifest.matches_installer": (r["manifest"]["matches_installer"], matches == "true"),
    "manifest.signer": (r["manifest"]["signer"], "CN=Vantor Demo Release Signing"),
    "manifest.signature_verifies": (r["manifest"]["signature_verifies"], True),
    "CompanyName": (r["version_strings"]["CompanyName"], 'Example "Ltd"'),
    "authenticode.signed": (r["authenticode"]["signed"], signed == "true"),
    "authenticode.signer": (r["authenticode"]["signer"], "CN=Vantor Demo Release Signing" if signed == "true" else None),
    "authenticode.timestamp": (r["authenticode"]["timestamp"], None),
    "security": ((r["security"]["aslr"], r["security"]["dep"], r["security"]["cfg"], r["security"]["high_entropy_va"]),
                 (True, True, True, arch == "x64")),
    "dependent_load_flags": (r["security"]["dependent_load_flags"], "0x800"),
    "requested_execution_level": (r["security"]["requested_execution_level"], "requireAdministrator"),
}
wrong = [f"{name}: {got!r}, not {want!r}" for name, (got, want) in facts.items() if got != want]
if wrong: print("  " + "; ".join(wrong))
sys.exit(bool(wrong))
PY
}
check "$arch launcher: the report" expect "$work/Setup.exe" false true
check "$arch launcher, signed: the report" expect "$work/Signed.exe" true true
check "$arch launcher: the text report names the signer" eval '"$packer" inspect "$work/Setup.exe" | grep -qx "  signer: CN=Vantor Demo Release Signing"'
# The installer's bytes changed inside the launcher (its middle byte).
python3 - "$work/Setup.exe" "$installer" "$work/Changed.exe" <<'PY'
import sys
launcher, installer = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
at = launcher.index(installer) + len(installer) // 2
open(sys.argv[3], "wb").write(launcher[:at] + bytes([launcher[at] ^ 1]) + launcher[at + 1:])
PY
check "$arch launcher, installer changed: the manifest does not match" expect "$work/Changed.exe" false false

refused() {  # refused WORDS FILE: exit 2, one line naming WORDS, no report
  local out; out=$("$packer" inspect "$2" --json 2>&1); local rc=$?
  [ $rc -eq 2 ] && [[ $out == "vantor-pack: "*"$1"* ]] && [ "$(wc -l <<<"$out")" -eq 1 ] || { echo "  got ($rc): $out"; return 1; }
}
head -c 20000 "$work/Setup.exe" >"$work/cut.exe"
printf 'not a program' >"$work/text.exe"
python3 - "$work/Setup.exe" "$work/badmanifest.exe" <<'PY'
import sys
d = open(sys.argv[1], "rb").read()
at = d.index(b"-----BEGIN SIGNATURE-----")
open(sys.argv[2], "wb").write(d[:at] + b"#" + d[at + 1:])
PY
check "$arch stub: no installer" refused "carries no installer" "$stub"
check "another program" refused "not a VantorSetup launcher" "$installer"
check "$arch launcher cut short" refused "not a valid image" "$work/cut.exe"
check "a text file" refused "not a valid image" "$work/text.exe"
check "$arch launcher with a damaged manifest" refused "is damaged: manifest: form" "$work/badmanifest.exe"
finish
