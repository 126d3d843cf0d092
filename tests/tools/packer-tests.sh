#!/usr/bin/env bash
# vantor-pack: the packed launcher runs and passes exit codes through (around
# the probe and around an installer from elsewhere); the image keeps every
# byte of the stub but its resource section and what follows, with correct
# headers and checksum; the Linux and Windows packers give the same bytes;
# re-packing replaces the payload; --version stamps; a vendor's version
# strings and icon read back with other tools; large payloads stream; every
# bad input, hostile stubs included, is refused with one line, exit 2 and no
# output, and a certificate gets the same verdict from both packers; each
# input is opened once; the output is never
# written through a link, lands in the folder its path named at the start
# however a link on that path is re-pointed, is whole when two packs race to
# it, and nothing outlives an interrupted pack (even SIGKILL on Linux). Every
# wait is bounded.
# MODE "native" runs what needs no Windows program (on every host, for every
# architecture built); MODE "windows" what does: the launchers run and the
# Windows packer, under Wine.
# Usage: packer-tests.sh REPO BIN_DIR ARCH NATIVE_PACKER native|windows
set -uo pipefail
repo=$1 bin=$2 arch=$3 native=$4 mode=$5
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/certificates.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stub=$bin/VantorSetup-stub.exe probe=$bin/ProbeInstaller.exe
case $arch in
  x86) cmd=/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe other_arch=x64 ;;
  x64) cmd=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cmd.exe other_arch=x86 ;;
esac
[ -x "$native" ] || { echo "no native packer at $native (build the linux-host preset first)"; exit 1; }
keys=$work/keys other=$work/other
"$repo/tools/make-signing-keys" "$keys" >/dev/null
"$repo/tools/make-signing-keys" "$other" >/dev/null
manifest() {  # manifest INSTALLER OUTPUT [KEYS]
  local k=${3:-$keys}
  "$repo/tools/make-manifest" --installer "$1" --key "$k/signer.key" --cert "$k/signer.pem" --ca "$k/ca.pem" --output "$2"
}
manifest "$probe" "$work/probe.dat"
manifest "$cmd" "$work/cmd.dat"

pack() { "$native" --stub "$stub" "$@"; }
run_exit_code() {
  VANTOR_DEMO_NO_DIALOG=1 "$repo/tools/wine-run" "$bin/run-report.exe" "$(windows_path "$1")" "${@:2}" 2>&1 |
    sed -n 's/^exit code: \([0-9]*\) .*/\1/p'
}

pack --installer "$probe" --manifest "$work/probe.dat" --output "$work/Probe.exe"
pack --installer "$cmd" --manifest "$work/cmd.dat" --output "$work/Cmd.exe" --arch "$arch"
pack --installer "$probe" --manifest "$work/probe.dat" --output "$work/Stamped.exe" --version 4.2.0.17

# Inputs to refuse.
: >"$work/empty"
printf 'plain text' >"$work/text.exe"
printf 'MZ but nothing else, long enough to have an e_lfanew field at 0x3c.....\x40' >"$work/mz-only.exe"
mkdir "$work/folder"
printf 'not a manifest\n' >"$work/junk.dat"
sed 's/\r*$/\r/' "$work/probe.dat" >"$work/crlf.dat"
# A manifest that is signed and of the right size, for other bytes: only the
# digest taken while copying can catch it.
cp "$probe" "$work/twin.exe"; printf 'X' | dd of="$work/twin.exe" bs=1 seek=5000 conv=notrunc 2>/dev/null
manifest "$work/twin.exe" "$work/twin.dat"
# A signature with its first base64 character changed (A to B, anything else
# to A, so that it always changes); a CA that did not issue the signer.
sed '3s/^A/#/;3s/^[^#]/A/;3s/^#/B/' "$work/probe.dat" >"$work/badsig.dat"
{ sed -n '1,/END CERTIFICATE/p' "$work/probe.dat"; openssl x509 -in "$other/ca.pem"; } >"$work/foreign-ca.dat"
osslsigncode sign -certs "$keys/signer.pem" -key "$keys/signer.key" -in "$stub" -out "$work/signed-stub.exe" >/dev/null
# One manifest, one spelling: a short base64 line inside the signature block;
# padding bits set in its last group.
python3 - "$work/probe.dat" "$work/shortline.dat" "$work/paddingbits.dat" <<'EOF'
import sys
d = open(sys.argv[1], "rb").read()
sig = d.split(b"\n")[2]
open(sys.argv[2], "wb").write(d.replace(sig + b"\n", sig[:32] + b"\n" + sig[32:] + b"\n", 1))
i = d.index(b"==\n")
open(sys.argv[3], "wb").write(d[:i - 1] + bytes([d[i - 1] + 1]) + d[i:])
EOF
mkfifo "$work/fifo"

hostile=$work/hostile
mkdir "$hostile"
python3 "$(dirname "$0")/hostile-stubs.py" "$stub" "$hostile"
cp "$probe" "$work/Large.exe"
head -c $((64 << 20)) /dev/urandom >>"$work/Large.exe"
manifest "$work/Large.exe" "$work/large.dat"

good=(--installer "$probe" --manifest "$work/probe.dat")
partials() { ls -A "$work" | grep -E '^\.vantor-pack-[0-9a-f]{32}\.partial$'; }  # partial outputs left behind
icon=$repo/tests/fixtures/branding/vendor.ico
brand=(--version 4.2.0.17 --icon "$icon" --version-string "CompanyName=Example Ünïcode GmbH"
       --version-string "FileDescription=Example Setup 日本語 😀" --version-string "ProductVersion=4.2 beta")
refuses() {  # refuses PACKER ARGS...: without --output, it is added
  local packer=$1; shift
  rm -f "$work/out.exe"
  local err; err=$($packer "$@" --output "$work/out.exe" 2>&1 >/dev/null); local rc=$?
  [ $rc -eq 2 ] && [[ $err == vantor-pack:* ]] && [ "$(wc -l <<<"$err")" -eq 1 ] && [ ! -e "$work/out.exe" ] &&
    [ -z "$(partials)" ] || { echo "  got ($rc): $err"; return 1; }
}
# The certificate rules: the same verdict from both packers, set by set, as
# tools/verify-manifest gives (manifest-tests.sh).
make_certificate_cases "$work/cases"
certificate_verdicts() {  # certificate_verdicts native|windows
  local case set verdict description c
  for case in "${certificate_cases[@]}"; do
    read -r set verdict description <<<"$case"
    c=$work/cases/$set
    write_manifest "$probe" "$c/signer.key" "$c/signer.pem" "$c/ca.pem" "$work/$set.dat"
    if [ "$verdict" = good ] && [ "$1" = native ]; then
      check "Linux packer takes $description" pack --installer "$probe" --manifest "$work/$set.dat" --output "$work/$set.exe"
    elif [ "$verdict" = good ]; then
      pack --installer "$probe" --manifest "$work/$set.dat" --output "$work/$set.exe"
      check "Windows packer takes $description" eval 'winpack --stub "$stub" --installer "$probe" --manifest "$work/$set.dat" \
        --output "$work/$set-win.exe" && cmp -s "$work/$set.exe" "$work/$set-win.exe"'
    elif [ "$1" = native ]; then
      check "Linux packer refuses $description" refuses pack --installer "$probe" --manifest "$work/$set.dat"
    else
      check "Windows packer refuses $description" refuses winpack --stub "$stub" --installer "$probe" --manifest "$work/$set.dat"
    fi
  done
}
hostile_stubs_refused() {  # hostile_stubs_refused PACKER LABEL
  local crafted name
  for crafted in "$hostile"/*.exe; do
    name=$(basename "$crafted" .exe)
    [ "$name" = manifest-tab ] && continue
    check "${2}hostile stub: $name" refuses "$1" --stub "$crafted" "${good[@]}"
  done
}
# Valid XML: a tab before the manifest's version attribute.
"$native" --stub "$hostile/manifest-tab.exe" "${good[@]}" --version 4.2.0.17 --output "$work/Tab.exe"

# --- Inputs opened once; the output never through a link, in the folder held from the
# start, whole when packs race, gone when interrupted. Every wait bounded. ---
finished() { ! kill -0 "$1" 2>/dev/null; }
bounded_wait() {  # bounded_wait PID: its exit status, or 1 (and it is killed) after two minutes
  wait_until 120 finished "$1" || { kill -KILL "$1" 2>/dev/null; wait "$1" 2>/dev/null; return 1; }
  wait "$1"
}
# The packer is writing into FOLDER: its partial file is there, or (Linux,
# unnamed) PID holds a file of FOLDER open that has no name.
writing() {  # writing FOLDER PID
  ls -A "$1" | grep -qE '^\.vantor-pack-[0-9a-f]{32}\.partial$' || ls -l "/proc/$2/fd" 2>/dev/null | grep -qF " $1/#"
}
opened_once() {  # opened_once native|windows: a pack opens the stub, installer, manifest and icon once each
  local args=(--stub "$stub" "${good[@]}" --icon "$icon" --output "$work/Once.exe") command=("$native") converted=() a
  if [ "$1" = windows ]; then
    command=("$repo/tools/wine-run" "$bin/vantor-pack.exe")
    for a in "${args[@]}"; do [[ $a == /* ]] && converted+=("$(windows_path "$a")") || converted+=("$a"); done
    args=("${converted[@]}")
  fi
  python3 - "$stub" "$probe" "$work/probe.dat" "$icon" -- "${command[@]}" "${args[@]}" <<'EOF'
import ctypes, os, struct, subprocess, sys
split = sys.argv.index("--")
files = sys.argv[1:split]
libc = ctypes.CDLL(None, use_errno=True)
inotify = libc.inotify_init1(os.O_NONBLOCK)
# IN_OPEN and IN_CLOSE_NOWRITE: the kernel merges an event with an identical
# one queued just before it, so closes between opens keep every open counted.
watches = {libc.inotify_add_watch(inotify, f.encode(), 0x20 | 0x10): f for f in files}
status = subprocess.run(sys.argv[split + 1:], stdout=subprocess.DEVNULL, timeout=300).returncode
opens = dict.fromkeys(files, 0)
try:
    while True:
        data, at = os.read(inotify, 1 << 16), 0
        while at < len(data):
            wd, mask, cookie, size = struct.unpack_from("iIII", data, at)
            opens[watches[wd]] += mask & 0x20 != 0
            at += 16 + size
except BlockingIOError:
    pass
if status != 0 or any(n != 1 for n in opens.values()):
    print("  opens:", {os.path.basename(f): n for f, n in opens.items()}, "exit", status)
    sys.exit(1)
EOF
}
repointed() {  # repointed PACKER: a link on the output's path re-pointed while it packs
  local pid
  rm -rf "$work/first" "$work/second" "$work/via"
  mkdir "$work/first" "$work/second"
  ln -s first "$work/via"
  $1 --stub "$stub" --installer "$work/Large.exe" --manifest "$work/large.dat" --output "$work/via/Out.exe" & pid=$!
  wait_until 60 writing "$work/first" "$pid" || { bounded_wait "$pid"; return 1; }
  ln -sfn second "$work/via"
  bounded_wait "$pid" && [ -f "$work/first/Out.exe" ] && [ -z "$(ls -A "$work/second")" ]
}
echo keep >"$work/victim"
linked() {  # linked PACKER NAME: links at the output and where the partial output once went lead to a victim
  ln -s "$work/victim" "$work/$2.vantor-pack-partial"
  ln -s "$work/victim" "$work/$2"
  $1 --stub "$stub" "${good[@]}" --output "$work/$2" &&
    [ ! -L "$work/$2" ] && cmp -s "$work/$2" "$work/Probe.exe" && grep -qx keep "$work/victim"
}
whole() {  # whole FILE: FILE is one of the two launchers packed at once, and no partial file is left
  { cmp -s "$1" "$work/Probe.exe" || cmp -s "$1" "$work/Cmd.exe"; } && [ -z "$(partials)" ]
}
race() {  # race PACKER PACKER: both pack to one output at once
  local a b
  rm -f "$work/Race.exe"
  $1 --stub "$stub" "${good[@]}" --output "$work/Race.exe" & a=$!
  $2 --stub "$stub" --installer "$cmd" --manifest "$work/cmd.dat" --output "$work/Race.exe" & b=$!
  bounded_wait $a && bounded_wait $b && whole "$work/Race.exe"
}
# Interrupted while writing.
interrupt() {  # interrupt SIGNAL native|windows
  local pid target
  rm -f "$work/Big.exe"
  if [ "$2" = native ]; then
    # A background job starts with SIGINT ignored; the packer keeps what it inherits.
    env --default-signal "$native" --stub "$stub" --installer "$work/Large.exe" --manifest "$work/large.dat" \
      --output "$work/Big.exe" & pid=$!
  else
    winpack --stub "$stub" --installer "$work/Large.exe" --manifest "$work/large.dat" --output "$work/Big.exe" & pid=$!
  fi
  wait_until 60 writing "$work" "$pid" || { bounded_wait "$pid"; return 1; }
  target=$pid
  if [ "$2" = windows ]; then
    # The Windows program's own process, which names this output (Wine turns SIGINT into Ctrl+C for it).
    target=$(ps -eo pid=,comm=,args= | P="$(windows_path "$work/Big.exe")" \
      awk '$2 == "vantor-pack.exe" && index($0, ENVIRON["P"]) { print $1 }' | head -n 1)
  fi
  kill "-$1" "$target"
  bounded_wait "$pid"
  [ -z "$(partials)" ] && [ ! -e "$work/Big.exe" ]
}

if [ "$mode" = windows ]; then
  # --- Packed launchers run; the Windows packer gives the same bytes and verdicts ---
  check "launcher around the probe passes its exit code" test "$(run_exit_code "$work/Probe.exe" /exitcode:3010)" = 3010
  check "launcher around Wine's cmd.exe passes its exit code" test "$(run_exit_code "$work/Cmd.exe" /c exit 42)" = 42
  check "stamped launcher still runs" test "$(run_exit_code "$work/Stamped.exe" /exitcode:7)" = 7
  winpack --stub "$stub" --installer "$probe" --manifest "$work/probe.dat" --output "$work/ProbeWin.exe"
  check "Windows packer (CNG) gives the Linux packer's bytes" cmp -s "$work/Probe.exe" "$work/ProbeWin.exe"
  check "Windows packer: another MD5" refuses winpack --stub "$stub" --installer "$probe" --manifest "$work/twin.dat"
  check "Windows packer: bad signature" refuses winpack --stub "$stub" --installer "$probe" --manifest "$work/badsig.dat"
  check "Windows packer: foreign CA" refuses winpack --stub "$stub" --installer "$probe" --manifest "$work/foreign-ca.dat"
  wodd="$work/dir with spaces ü é"
  mkdir "$wodd"; cp "$probe" "$wodd/Set up ü.exe"; cp "$work/probe.dat" "$wodd/scf ü.dat"; cp "$stub" "$wodd/stub ü.exe"
  winpack --stub "$wodd/stub ü.exe" --installer "$wodd/Set up ü.exe" --manifest "$wodd/scf ü.dat" --output "$wodd/Out ü.exe"
  check "Windows packer: spaces, non-ASCII" cmp -s "$work/Probe.exe" "$wodd/Out ü.exe"
  hostile_stubs_refused winpack "Windows packer: "
  certificate_verdicts windows
  winpack --stub "$hostile/manifest-tab.exe" "${good[@]}" --version 4.2.0.17 --output "$work/TabWin.exe"
  check "Windows packer: the same stamped bytes for a tab before version=" cmp -s "$work/Tab.exe" "$work/TabWin.exe"
  check "Windows packer: links at the output are replaced, not written through" linked winpack WinLinked.exe
  check "the Linux and Windows packers to one output at once" race winpack "$native"
  for round in 1 2 3; do check "two Windows packers to one output at once (round $round)" race winpack winpack; done
  check "Windows packer: Ctrl+C while packing leaves no partial file" interrupt INT windows
  check "Windows packer: a link re-pointed while packing does not move the output" repointed winpack
  check "Windows packer: each input opened once" opened_once windows
  check "Windows packer: a short base64 line" refuses winpack --stub "$stub" --installer "$probe" --manifest "$work/shortline.dat"
  pack --installer "$work/Large.exe" --manifest "$work/large.dat" --output "$work/LargeSetup.exe"
  check "64 MB payload extracts and runs" test "$(run_exit_code "$work/LargeSetup.exe" /exitcode:64)" = 64
  # --- Branding: the Windows packer gives the same bytes; the launcher runs ---
  pack "${good[@]}" "${brand[@]}" --output "$work/Branded.exe"
  winpack --stub "$stub" "${good[@]}" "${brand[@]}" --output "$work/BrandedWin.exe"
  check "Windows packer: a branded pack gives the Linux packer's bytes" cmp -s "$work/Branded.exe" "$work/BrandedWin.exe"
  check "branded launcher runs and passes its exit code" test "$(run_exit_code "$work/Branded.exe" /exitcode:9)" = 9
  check "Windows packer: not an icon" refuses winpack --stub "$stub" "${good[@]}" --icon "$probe"
  # A Windows command line holds at most 32,767 characters: a value that long
  # fits a string block, but not the version resource beside the stub's
  # strings. Short paths leave room for it.
  cp "$stub" "$work/s.exe"; cp "$probe" "$work/p.exe"
  check "Windows packer: a value the version resource cannot hold" refuses winpack --stub "$work/s.exe" \
    --installer "$work/p.exe" --manifest "$work/probe.dat" --version-string "Comments=$(head -c 32450 /dev/zero | tr '\0' x)"
  finish
  exit
fi

# --- The image: stub bytes kept, headers and checksum right --------------------
# Independent of the packer: every byte before the resource section is the
# stub's but the patched header fields; .reloc is carried unchanged; the
# checksum is the loader's; RCDATA 100 and 101 are the inputs.
image_ok() {
  python3 - "$stub" "$1" "$2" "$3" <<'EOF'
import struct, sys
stub, out, installer, manifest = (open(p, "rb").read() for p in sys.argv[1:5])
def headers(d):  # sections by index: two may share a name (".gcc_exc" in the x86 image)
    pe = struct.unpack_from("<I", d, 0x3C)[0]
    count, optsize = struct.unpack_from("<H", d, pe + 6)[0], struct.unpack_from("<H", d, pe + 20)[0]
    opt = pe + 24
    return opt, [struct.unpack_from("<8sIIII", d, opt + optsize + 40 * i) for i in range(count)]
sopt, ssec = headers(stub); oopt, osec = headers(out)
assert [x[0] for x in ssec] == [x[0] for x in osec], "section names"
names = [x[0].rstrip(b"\0") for x in osec]
rsrc = names.index(b".rsrc")
assert names[rsrc:] == [b".rsrc", b".reloc"], "the resources and relocations come last"
vsize, va, raw, ptr = osec[rsrc][1:]
assert ssec[:rsrc] == osec[:rsrc], "sections before .rsrc moved"
dirs = sopt + (112 if struct.unpack_from("<H", stub, sopt)[0] == 0x20B else 96)
table = sopt + struct.unpack_from("<H", stub, sopt - 4)[0]
changed = [(sopt + 8, 4), (sopt + 56, 4), (sopt + 64, 4), (dirs + 16, 8), (dirs + 40, 8), (table + 40 * rsrc, 80)]
def masked(d):
    d = bytearray(d[:0x1000])
    for at, n in changed: d[at:at + n] = b"\0" * n
    return bytes(d)
assert masked(stub) == masked(out), "headers changed beyond the fields packing sets"
assert stub[0x1000:ssec[rsrc][4]] == out[0x1000:ptr], "section data before .rsrc changed"
rv, sv = osec[rsrc + 1][1:], ssec[rsrc + 1][1:]
assert out[rv[3]:rv[3] + rv[2]] == stub[sv[3]:sv[3] + sv[2]], ".reloc changed"
assert rv[1] % 0x1000 == 0 and rv[3] % 0x1000 == 0 and ptr % 0x1000 == 0, "page alignment"
assert rv[1] >= va + vsize and len(out) == rv[3] + rv[2], "layout"
assert struct.unpack_from("<I", out, oopt + 56)[0] == (rv[1] + rv[0] + 0xFFF) & ~0xFFF, "SizeOfImage"
assert struct.unpack_from("<II", out, dirs + 16) == (va, vsize), "resource directory"
assert struct.unpack_from("<I", out, dirs + 40)[0] == rv[1], "base relocation directory"
d = bytearray(out); d[oopt + 64:oopt + 68] = b"\0" * 4; s = 0
for (w,) in struct.iter_unpack("<H", bytes(d)): s += w
while s > 0xFFFF: s = (s & 0xFFFF) + (s >> 16)
assert struct.unpack_from("<I", out, oopt + 64)[0] == s + len(out), "checksum"
def find(tree_off, ident):
    named, ids = struct.unpack_from("<HH", out, ptr + tree_off + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", out, ptr + tree_off + 16 + 8 * i)
        if name == ident: return target & 0x7FFFFFFF
def data(type_, name):
    lang_dir = find(find(find(0, type_), name), 0)
    rva, size = struct.unpack_from("<II", out, ptr + lang_dir)
    return out[rva - va + ptr:rva - va + ptr + size]
assert data(10, 100) == installer and data(10, 101) == manifest, "payload"
EOF
}
check "packed image: stub bytes kept, headers, layout, checksum and payload right" \
  image_ok "$work/Probe.exe" "$probe" "$work/probe.dat"
resources_listed() {  # llvm-readobj reads the tree: six resources, RCDATA 100 and 101 in language 0
  local out; out=$(llvm-readobj-16 --coff-resources --file-headers "$1") || return 1
  grep -q "Total Number of Resources: 6" <<<"$out" && grep -q "Name: (ID 100)" <<<"$out" &&
    grep -q "Name: (ID 101)" <<<"$out" && grep -q "IMAGE_DLL_CHARACTERISTICS_GUARD_CF" <<<"$out"
}
check "llvm-readobj reads the rebuilt resources and keeps the properties" resources_listed "$work/Probe.exe"

# --- Re-packing ---------------------------------------------------------------------
"$native" --stub "$work/Cmd.exe" --installer "$probe" --manifest "$work/probe.dat" --output "$work/Repacked.exe"
check "re-packing a packed launcher replaces its payload" cmp -s "$work/Probe.exe" "$work/Repacked.exe"

# --- Version stamping ----------------------------------------------------------------
pack --installer "$probe" --manifest "$work/probe.dat" --output "$work/Same.exe" --version 1.0.0.0
check "stamping the stub's own version changes no byte" cmp -s "$work/Probe.exe" "$work/Same.exe"
stamped() {
  python3 - "$1" <<'EOF'
import sys
d = open(sys.argv[1], "rb").read()
u = lambda s: s.encode("utf-16-le")
assert d.count(u("4.2.0.17\0")) == 2 and u("1.0.0.0") not in d, "version strings"
assert bytes.fromhex("020004001100") in d, "fixed file info 4.2.0.17"
assert b'name="Vantor.VantorSetup" version="4.2.0.17"' in d, "manifest version"
EOF
}
check "--version stamps the version resource and the manifest" stamped "$work/Stamped.exe"

# --- Refusals: exit 2, one line, no output, an existing output untouched ---------
check "missing stub" refuses "$native" --stub "$work/none.exe" "${good[@]}"
check "stub that is a folder" refuses "$native" --stub "$work/folder" "${good[@]}"
check "stub that is another program" refuses "$native" --stub "$probe" "${good[@]}"
check "stub of the other architecture" refuses pack --arch "$other_arch" "${good[@]}"
check "signed stub" refuses "$native" --stub "$work/signed-stub.exe" "${good[@]}"
check "empty installer" refuses pack --installer "$work/empty" --manifest "$work/probe.dat"
check "installer without MZ" refuses pack --installer "$work/text.exe" --manifest "$work/probe.dat"
check "installer without PE header" refuses pack --installer "$work/mz-only.exe" --manifest "$work/probe.dat"
check "missing manifest" refuses pack --installer "$probe" --manifest "$work/none.dat"
check "manifest not in form" refuses pack --installer "$probe" --manifest "$work/junk.dat"
check "manifest with CR LF" refuses pack --installer "$probe" --manifest "$work/crlf.dat"
check "manifest of another size" refuses pack --installer "$probe" --manifest "$work/cmd.dat"
check "manifest with another MD5" refuses pack --installer "$probe" --manifest "$work/twin.dat"
check "signature that does not verify" refuses pack --installer "$probe" --manifest "$work/badsig.dat"
check "signer not issued by the CA" refuses pack --installer "$probe" --manifest "$work/foreign-ca.dat"
check "bad version" refuses pack "${good[@]}" --version 1.2.3.65536
check "output folder missing" eval 'pack "${good[@]}" --output "$work/none/out.exe" 2>/dev/null; [ $? -eq 2 ]'
check "unknown option" refuses pack "${good[@]}" --sign
check "a short base64 line inside the signature" refuses pack --installer "$probe" --manifest "$work/shortline.dat"
check "base64 padding bits set" refuses pack --installer "$probe" --manifest "$work/paddingbits.dat"
check "installer that is a FIFO, without waiting for a writer" refuses timeout 20 "$native" --stub "$stub" \
  --installer "$work/fifo" --manifest "$work/probe.dat"
check "each input opened once" opened_once native
certificate_verdicts native
echo keep >"$work/existing.exe"
pack --installer "$probe" --manifest "$work/twin.dat" --output "$work/existing.exe" 2>/dev/null
check "a refused pack leaves an existing output alone" grep -qx keep "$work/existing.exe"
hostile_stubs_refused "$native" ""
check "--version stamps a manifest with a tab before version=" grep -qaP 'name="Vantor.VantorSetup"\tversion="4.2.0.17"' "$work/Tab.exe"

# --- The output file ------------------------------------------------------------------
check "links at the output are replaced, not written through" linked "$native" Linked.exe
for round in 1 2 3 4 5; do check "two packs to one output at once (round $round)" race "$native" "$native"; done
for signal in INT TERM QUIT KILL; do check "SIG$signal while packing leaves no partial file" interrupt "$signal" native; done
check "a link re-pointed while packing does not move the output" repointed "$native"

# --- Awkward paths ------------------------------------------------------------------
odd="$work/dir with 'quotes\" back\\slash ü"
mkdir "$odd"; cp "$probe" "$odd/Set up ü.exe"; cp "$work/probe.dat" "$odd/scf ü.dat"
pack --installer "$odd/Set up ü.exe" --manifest "$odd/scf ü.dat" --output "$odd/Out ü.exe"
check "Linux packer: quotes, backslash, spaces, non-ASCII" cmp -s "$work/Probe.exe" "$odd/Out ü.exe"

# --- Branding: the vendor's strings and icon, read back by other tools ---------
pack "${good[@]}" "${brand[@]}" --output "$work/Branded.exe"
check "branded image: stub bytes kept, headers, layout, checksum and payload right" \
  image_ok "$work/Branded.exe" "$probe" "$work/probe.dat"
branded_listed() {  # llvm-readobj: the stub's one icon image replaced by the icon's four, under ids 1 to 4
  local out; out=$(llvm-readobj-16 --coff-resources "$1") || return 1
  grep -q "Total Number of Resources: 9" <<<"$out" && grep -q "Type: GROUP_ICON (ID 14)" <<<"$out" &&
    [ "$(sed -n '/Type: ICON (ID 3)/,/Type: RCDATA/s/^ *Name: (ID \([0-9]*\)).*/\1/p' <<<"$out" | xargs)" = "1 2 3 4" ]
}
check "llvm-readobj reads the branded resources" branded_listed "$work/Branded.exe"
icon_back() {  # wrestool rebuilds the icon file from the group and its images (and pads it with zeros)
  wrestool -x -t 14 -n 1 "$1" -o "$work/back.ico" && cmp -n "$(stat -c %s "$icon")" "$icon" "$work/back.ico" &&
    [ -z "$(tail -c +$(($(stat -c %s "$icon") + 1)) "$work/back.ico" | tr -d '\0')" ]
}
check "wrestool gives back the icon file byte for byte" icon_back "$work/Branded.exe"
version_strings() {  # version_strings IMAGE KEY=VALUE...: wrestool's copy of the version resource holds each pair
  python3 - "$@" <<'EOF'
import subprocess, sys
raw = subprocess.run(["wrestool", "-x", "--raw", "-t", "16", sys.argv[1]], capture_output=True, check=True).stdout
for pair in sys.argv[2:]:
    key, value = pair.split("=", 1)
    # a string block: its header, key and NUL, padding to 4 bytes, then the value and NUL
    start = raw.find(key.encode("utf-16-le") + b"\0\0") - 6
    assert start >= 0, "no " + key
    at = start + 6 + 2 * len(key) + 2
    at += (-(at - start)) % 4
    text = (value + "\0").encode("utf-16-le")
    assert raw[at:at + len(text)] == text, key
EOF
}
check "the branded version strings, in UTF-16" version_strings "$work/Branded.exe" "CompanyName=Example Ünïcode GmbH" \
  "FileDescription=Example Setup 日本語 😀" "ProductVersion=4.2 beta" "FileVersion=4.2.0.17" "ProductName=VantorSetup"
check "a plain pack keeps the stub's strings" version_strings "$work/Probe.exe" "CompanyName=Vantor" "ProductName=VantorSetup"
"$native" --stub "$work/Branded.exe" "${good[@]}" --output "$work/Rebranded.exe" "${brand[@]}"
check "branding a branded launcher again gives the same bytes" cmp -s "$work/Branded.exe" "$work/Rebranded.exe"
"$native" --stub "$work/Branded.exe" "${good[@]}" --output "$work/RepackedBranded.exe"
check "re-packing a branded launcher keeps its brand" cmp -s "$work/Branded.exe" "$work/RepackedBranded.exe"
check "--help lists the branding options and keys" eval '"$native" --help | grep -q -- "--icon FILE.ico" &&
  "$native" --help | grep -q -- "--version-string KEY=VALUE" && "$native" --help | grep -q "LegalTrademarks"'
head -c 1000 "$icon" >"$work/truncated.ico"
check "icon: not an icon" refuses pack "${good[@]}" --icon "$probe"
check "icon: empty" refuses pack "${good[@]}" --icon "$work/empty"
check "icon: truncated" refuses pack "${good[@]}" --icon "$work/truncated.ico"
check "icon: missing" refuses pack "${good[@]}" --icon "$work/none.ico"
check "version string: unknown key" refuses pack "${good[@]}" --version-string "Vendor=Example"
check "version string: not UTF-8" refuses pack "${good[@]}" --version-string $'CompanyName=Example \xff'
check "version string: too long" refuses pack "${good[@]}" --version-string "Comments=$(head -c 40000 /dev/zero | tr '\0' x)"
check "version string: key given twice" refuses pack "${good[@]}" --version-string "Comments=a" --version-string "Comments=b"

# --- A 64 MB installer streams: small peak memory ------------------------------------
peak=$( { /usr/bin/time -f %M "$native" --stub "$stub" --installer "$work/Large.exe" --manifest "$work/large.dat" \
  --output "$work/LargeSetup.exe"; } 2>&1 | tail -1)
check "64 MB installer packed in under 16 MiB (peak ${peak} KiB)" test "$peak" -lt 16384

finish
