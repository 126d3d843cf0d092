#!/usr/bin/env bash
# tools/pack: refuses bad input without writing anything; commits its output
# through the packer (never into a folder linked at its name); wraps an installer
# this project did not build (Wine's own cmd.exe); makes the manifest,
# stamps the version, brands and signs on the way; gives the same bytes twice; and
# carries a large payload that still extracts and runs. MODE "native" runs
# what needs no Windows program, MODE "windows" the packed launchers, under Wine.
# Usage: pack-tests.sh REPO BIN_DIR ARCH native|windows
set -uo pipefail
repo=$1 bin=$2 arch=$3 mode=$4
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=$work/keys
"$repo/tools/make-signing-keys" "$keys" >/dev/null
"$repo/tools/make-signing-keys" "$work/locked" secret >/dev/null
case $arch in
  x86) cmd=/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe ;;
  x64) cmd=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cmd.exe ;;
esac
pack() { "$repo/tools/pack" --arch "$arch" "$@"; }
probe=$bin/ProbeInstaller.exe
make_manifest=(--make-manifest "$keys/signer.key" "$keys/signer.pem" "$keys/ca.pem")

# The full 32-bit exit code of a launcher run, through the Windows-side harness.
run_exit_code() {
  VANTOR_DEMO_NO_DIALOG=1 "$repo/tools/wine-run" "$bin/run-report.exe" "$(windows_path "$1")" "${@:2}" 2>&1 |
    sed -n 's/^exit code: \([0-9]*\) .*/\1/p'
}

make_probe_manifest() {
  "$repo/tools/make-manifest" --installer "$1" --key "$keys/signer.key" --cert "$keys/signer.pem" \
    --ca "$keys/ca.pem" --output "$2"
}
make_probe_manifest "$probe" "$work/probe.dat"
make_probe_manifest "$cmd" "$work/cmd.dat"
sign_locked=(--sign-cert "$work/locked/signer.pem" --sign-key "$work/locked/signer.key" --sign-pass secret)

if [ "$mode" = windows ]; then
  # cmd gets the launcher's command line and runs "/c exit 42".
  pack --installer "$cmd" --manifest "$work/cmd.dat" --output "$work/CmdSetup.exe" >/dev/null
  check "launcher around Wine's cmd.exe returns its exit code" test "$(run_exit_code "$work/CmdSetup.exe" /c exit 42)" = 42
  pack --installer "$probe" "${make_manifest[@]}" --version 2.3.4.5 "${sign_locked[@]}" --output "$work/Signed.exe" >/dev/null
  check "signed launcher still runs" test "$(run_exit_code "$work/Signed.exe" /exitcode:3010)" = 3010
  cp "$probe" "$work/Large.exe"
  head -c $((64 << 20)) /dev/urandom >>"$work/Large.exe"
  pack --installer "$work/Large.exe" "${make_manifest[@]}" --output "$work/LargeSetup.exe" >/dev/null
  check "64 MB payload extracts and runs" test "$(run_exit_code "$work/LargeSetup.exe" /exitcode:64)" = 64
  finish
  exit
fi

# --- Refusals: exit 2, one "pack:" line, and no output file -----------------
: >"$work/empty"
printf 'plain text' >"$work/text.exe"
printf 'MZ but nothing else' >"$work/mz-only.exe"
printf 'not a manifest\n' >"$work/junk.dat"
refuses() {
  local err
  err=$(pack "$@" --output "$work/out.exe" 2>&1 >/dev/null)
  local rc=$?
  [ $rc -eq 2 ] && [[ $err == pack:* ]] && [ "$(wc -l <<<"$err")" -eq 1 ] && [ ! -e "$work/out.exe" ] ||
    { echo "  got ($rc): $err"; return 1; }
}
check "missing installer" refuses --installer "$work/none.exe" --manifest "$work/probe.dat"
check "empty installer" refuses --installer "$work/empty" --manifest "$work/probe.dat"
check "installer without MZ" refuses --installer "$work/text.exe" --manifest "$work/probe.dat"
check "installer without PE header" refuses --installer "$work/mz-only.exe" --manifest "$work/probe.dat"
check "missing manifest" refuses --installer "$probe" --manifest "$work/none.dat"
check "empty manifest" refuses --installer "$probe" --manifest "$work/empty"
check "manifest not in form" refuses --installer "$probe" --manifest "$work/junk.dat"
check "manifest of another installer" refuses --installer "$probe" --manifest "$work/cmd.dat"
check "bad version" refuses --installer "$probe" --manifest "$work/probe.dat" --version 1.2.3
check "version part too large" refuses --installer "$probe" --manifest "$work/probe.dat" --version 1.2.3.65536
check "certificate without key" refuses --installer "$probe" --manifest "$work/probe.dat" --sign-cert "$keys/signer.pem"
check "key of another certificate" refuses --installer "$probe" --manifest "$work/probe.dat" \
  --sign-cert "$keys/signer.pem" --sign-key "$work/locked/signer.key" --sign-pass secret
check "wrong key password" refuses --installer "$probe" --manifest "$work/probe.dat" \
  --sign-cert "$work/locked/signer.pem" --sign-key "$work/locked/signer.key" --sign-pass wrong
check "manifest key of another certificate" refuses --installer "$probe" \
  --make-manifest "$keys/signer.key" "$work/locked/signer.pem" "$keys/ca.pem"
echo keep >"$work/existing.exe"
pack --installer "$work/text.exe" --manifest "$work/probe.dat" --output "$work/existing.exe" 2>/dev/null
check "a refused pack leaves an existing output alone" grep -qx keep "$work/existing.exe"

# --- The output: a link to a folder that appears at its name while packing is
# replaced (or refused), never followed: the launcher never lands in the folder.
cp "$probe" "$work/Large.exe"
head -c $((64 << 20)) /dev/urandom >>"$work/Large.exe"
make_probe_manifest "$work/Large.exe" "$work/large.dat"
mkdir "$work/elsewhere"
packing() { pgrep -f "bin/vantor-pack --stub .* --installer $work/Large.exe" >/dev/null; }
finished() { ! kill -0 "$1" 2>/dev/null; }
link_appears() {
  local pid
  pack --installer "$work/Large.exe" --manifest "$work/large.dat" --output "$work/Appeared.exe" >/dev/null 2>&1 & pid=$!
  wait_until 300 packing || { kill "$pid"; return 1; }
  ln -s "$work/elsewhere" "$work/Appeared.exe"
  wait_until 120 finished "$pid" || { kill "$pid"; return 1; }
  wait "$pid"
  [ -z "$(ls -A "$work/elsewhere")" ] && { [ ! -L "$work/Appeared.exe" ] || [ "$(readlink "$work/Appeared.exe")" = "$work/elsewhere" ]; }
}
check "a link to a folder appearing at the output while packing" link_appears

# --- Manifest, version and signature on the way ------------------------------
SOURCE_DATE_EPOCH=1700000000 pack --installer "$probe" "${make_manifest[@]}" --version 2.3.4.5 "${sign_locked[@]}" \
  --sign-ca "$work/locked/ca.pem" --output "$work/Signed.exe" >/dev/null
check "signature verifies against the CA" eval 'osslsigncode verify -CAfile "$work/locked/ca.pem" -in "$work/Signed.exe" >/dev/null 2>&1'
check "signature names the project by default" eval 'osslsigncode verify -CAfile "$work/locked/ca.pem" -in "$work/Signed.exe" 2>/dev/null | grep -qx "$(printf "\tText description: VantorSetup")"'
check "version stamped" python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(not ("2.3.4.5".encode("utf-16-le") in d and b"version=\"2.3.4.5\"" in d))' "$work/Signed.exe"

# --- A vendor's brand: strings and icon passed to vantor-pack, name and URL signed --
icon=$repo/tests/fixtures/branding/vendor.ico
pack --installer "$probe" --manifest "$work/probe.dat" --version-string "ProductName=Example Suite Ü" \
  --version-string "CompanyName=Example" --icon "$icon" --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key" \
  --sign-url https://example.org/setup --output "$work/Branded.exe" >/dev/null
signed_as() {  # signed_as IMAGE NAME [URL]
  local out; out=$(osslsigncode verify -CAfile "$keys/ca.pem" -in "$1" 2>/dev/null) || return 1
  grep -qxF "$(printf '\tText description: %s' "$2")" <<<"$out" &&
    if [ $# -gt 2 ]; then grep -qxF "$(printf '\tURL description: %s' "$3")" <<<"$out"; else ! grep -q "URL description" <<<"$out"; fi
}
check "signature carries the product's name and the URL" signed_as "$work/Branded.exe" "Example Suite Ü" https://example.org/setup
check "icon and strings reach the launcher" eval '[ "$(wrestool -l "$work/Branded.exe" | grep -c "type=icon ")" -eq 4 ] &&
  wrestool -x --raw -t 16 "$work/Branded.exe" | iconv -f UTF-16LE -t UTF-8 | grep -qa "Example Suite Ü"'
pack --installer "$probe" --manifest "$work/probe.dat" --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key" \
  --sign-name "Example Setup" --output "$work/Named.exe" >/dev/null
check "--sign-name names the signed program" signed_as "$work/Named.exe" "Example Setup"
check "--sign-name without a certificate" refuses --installer "$probe" --manifest "$work/probe.dat" --sign-name X
check "missing icon" refuses --installer "$probe" --manifest "$work/probe.dat" --icon "$work/none.ico"
check "not an icon (vantor-pack's verdict)" refuses --installer "$probe" --manifest "$work/probe.dat" --icon "$work/text.exe"
check "unknown version string key" refuses --installer "$probe" --manifest "$work/probe.dat" --version-string Vendor=X

# --- Reproducible: the same inputs, a second time in a fresh build folder -----
pack_probe() {  # pack_probe OUTPUT [pack options...]
  SOURCE_DATE_EPOCH=1700000000 pack --installer "$probe" --manifest "$work/probe.dat" --version 1.0.0.7 \
    --output "$@" >/dev/null
}
pack_probe "$work/A.exe" --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key"
VANTOR_PACK_BUILD_DIR="$work/fresh-build" pack_probe "$work/B.exe" --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key"
check "signed launchers byte-identical" cmp -s "$work/A.exe" "$work/B.exe"
pack_probe "$work/C.exe"
VANTOR_PACK_BUILD_DIR="$work/fresh-build" pack_probe "$work/D.exe"
check "unsigned launchers byte-identical" cmp -s "$work/C.exe" "$work/D.exe"

finish
