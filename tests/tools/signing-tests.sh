#!/usr/bin/env bash
# tools/pack signing for release, with real parts: a key in a SoftHSM2 token
# (through p11-kit's proxy module and through SoftHSM2's own), RFC 3161 time
# stamps from servers on 127.0.0.1 with a dead one and a busy one before them,
# verified by osslsigncode now and after the signing certificate has expired;
# make-manifest with the token's key; what `vantor-pack inspect` says about
# the launchers' signatures (signed, time-stamped, unsigned, damaged), against
# osslsigncode's reading.
# Usage: signing-tests.sh REPO ARCH PACKER
set -uo pipefail
repo=$1 arch=$2 packer=$3
here=$(dirname "$0")
source "$here/common.sh"
source "$here/signing-fixtures.sh"
work=$(mktemp -d)
trap 'stop_timestamp_servers; rm -rf "$work"' EXIT
keys=$work/keys
"$repo/tools/make-signing-keys" "$keys" >/dev/null
"$repo/tools/make-signing-keys" "$work/other" >/dev/null
make_token "$work/token" VantorRelease 4711 "$keys/signer.key" || { echo "FAILED: the token could not be made"; exit 1; }
make_tsa "$work/tsa" || { echo "FAILED: the time-stamp authority could not be made"; exit 1; }
start_timestamp_server tsa_url "$work/tsa" || exit 1
start_timestamp_server busy_url "$work/tsa" --fail-first 1 || exit 1
dead_url dead; dead_url dead2

case $arch in
  x86) installer=/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe ;;
  x64) installer=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/cmd.exe ;;
esac
"$repo/tools/make-manifest" --installer "$installer" --key "$keys/signer.key" --cert "$keys/signer.pem" \
  --ca "$keys/ca.pem" --output "$work/scf.dat"
token_key='pkcs11:token=VantorRelease;object=signer;type=private'
pack() { SOURCE_DATE_EPOCH=1700000000 "$repo/tools/pack" --arch "$arch" --installer "$installer" --manifest "$work/scf.dat" "$@"; }
token_sign=(--sign-cert "$keys/signer.pem" --sign-key "$token_key" --sign-pass 4711)

# After the signer's certificate has expired: a day past its notAfter.
expired=$(($(date -d "$(openssl x509 -in "$keys/signer.pem" -noout -enddate | cut -d= -f2)" +%s) + 86400))
verify() {  # verify IMAGE [osslsigncode options]: verifies, time stamp included when there is one
  local out
  out=$(osslsigncode verify -CAfile "$keys/ca.pem" -TSA-CAfile "$work/tsa/ca.pem" -in "$@" 2>&1) &&
    grep -qx 'Succeeded' <<<"$out" && { ! grep -q '^Timestamp Server Signature' <<<"$out" ||
      grep -qx 'Timestamp Server Signature verification: ok' <<<"$out"; }
}
stamped() { osslsigncode verify -CAfile "$keys/ca.pem" -TSA-CAfile "$work/tsa/ca.pem" -in "$1" 2>&1 | grep -q 'Timestamp time:'; }

# --- A key in the token, time-stamped past a dead server ---------------------
pack "${token_sign[@]}" --timestamp "$dead" --timestamp "$tsa_url" --sign-ca "$keys/ca.pem" \
  --timestamp-ca "$work/tsa/ca.pem" --output "$work/Stamped.exe" >/dev/null
check "token-signed, time-stamped launcher made past a dead server" test -s "$work/Stamped.exe"
check "the live server stamped it, once" grep -qx 1 "${tsa_url_state}/queries"
check "it verifies now, time stamp included" eval 'verify "$work/Stamped.exe" && stamped "$work/Stamped.exe"'
check "it verifies after the signing certificate expired" verify "$work/Stamped.exe" -time "$expired"
pack "${token_sign[@]}" --output "$work/Token.exe" >/dev/null
check "without a time stamp it verifies now" verify "$work/Token.exe"
check "without a time stamp it no longer verifies after expiry" eval '! verify "$work/Token.exe" -time "$expired"'
pack --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key" --output "$work/Pem.exe" >/dev/null
check "the token's key signs the same bytes as its PEM file" cmp -s "$work/Token.exe" "$work/Pem.exe"
pack "${token_sign[@]}" --pkcs11-module "$softhsm_module" --output "$work/Module.exe" >/dev/null
check "--pkcs11-module: SoftHSM2's own module signs the same" cmp -s "$work/Module.exe" "$work/Pem.exe"
pack "${token_sign[@]}" --timestamp "$busy_url" --output "$work/Busy.exe" >/dev/null
check "a server busy at first is asked again" eval 'stamped "$work/Busy.exe" && grep -qx 2 "${busy_url_state}/queries"'

# --- Refusals and failures: nothing written ----------------------------------
fails() {  # fails CODE PACK-OPTIONS...: exit CODE, one "pack:" line, no output, nothing left beside it
  local code=$1 err rc
  shift
  mkdir "$work/out"
  err=$(pack "$@" --output "$work/out/Setup.exe" 2>&1 >/dev/null)
  rc=$?
  [ $rc -eq "$code" ] && [[ $err == pack:* ]] && [ "$(wc -l <<<"$err")" -eq 1 ] && [ -z "$(ls -A "$work/out")" ] ||
    { echo "  got ($rc): $err; left: $(ls -A "$work/out")"; rm -rf "$work/out"; return 1; }
  rm -rf "$work/out"
}
check "no time-stamp server answers: exit 1" fails 1 "${token_sign[@]}" --timestamp "$dead" --timestamp "$dead2"
check "wrong PIN" fails 2 --sign-cert "$keys/signer.pem" --sign-key "$token_key" --sign-pass 1111
check "no such key in the token" fails 2 --sign-cert "$keys/signer.pem" \
  --sign-key 'pkcs11:token=VantorRelease;object=nobody;type=private' --sign-pass 4711
check "the token's key is not the certificate's" fails 2 --sign-cert "$work/other/signer.pem" \
  --sign-key "$token_key" --sign-pass 4711
check "missing module" fails 2 "${token_sign[@]}" --pkcs11-module "$work/none.so"
check "--pkcs11-module with a key file" fails 2 --sign-cert "$keys/signer.pem" --sign-key "$keys/signer.key" \
  --pkcs11-module "$softhsm_module"
check "--timestamp without signing" fails 2 --timestamp "$tsa_url"

# --- make-manifest with the token's key --------------------------------------
make_manifest() {  # make_manifest OUTPUT KEY [OPTIONS...]
  "$packer" make-manifest --installer "$installer" --cert "$keys/signer.pem" --ca "$keys/ca.pem" --output "$1" --key "${@:2}"
}
make_manifest "$work/token.dat" "$token_key" --key-pass 4711
check "make-manifest: the token's key gives the PEM file's bytes" cmp -s "$work/token.dat" "$work/scf.dat"
make_manifest "$work/module.dat" "$token_key?pin-value=4711" --pkcs11-module "$softhsm_module"
check "make-manifest: the PIN in the URI, SoftHSM2's own module" cmp -s "$work/module.dat" "$work/scf.dat"
refused() {  # refused WORDS KEY [OPTIONS...]: exit 2, one line naming WORDS and no PIN, nothing written
  local out rc
  out=$(make_manifest "$work/refused.dat" "${@:2}" 2>&1); rc=$?
  [ $rc -eq 2 ] && [[ $out == *"$1"* && $out != *4711* ]] && [ "$(wc -l <<<"$out")" -eq 1 ] &&
    ! compgen -G "$work/refused.dat*" >/dev/null || { echo "  got ($rc): $out"; return 1; }
}
check "make-manifest: wrong PIN" refused CKR_PIN_INCORRECT "$token_key" --key-pass 1111
make_token "$work/token" OtherRelease 4711 "$work/other/signer.key"
check "make-manifest: a token key of another certificate" refused "does not belong to" \
  "pkcs11:token=OtherRelease;object=signer?pin-value=4711" --pkcs11-module "$softhsm_module"

# --- What inspect reads of those launchers' signatures -----------------------
pack --output "$work/Unsigned.exe" >/dev/null
make_and_pack() {  # make_and_pack MODULE OUTPUT: tools/pack making the manifest with the token's key through MODULE
  SOURCE_DATE_EPOCH=1700000000 "$repo/tools/pack" --arch "$arch" --installer "$installer" --make-manifest "$token_key" \
    "$keys/signer.pem" "$keys/ca.pem" --manifest-pass 4711 --pkcs11-module "$1" --output "$2" >/dev/null 2>&1
}
make_and_pack "$softhsm_module" "$work/Made.exe"
check "tools/pack --make-manifest with the token's key: the same launcher" cmp -s "$work/Made.exe" "$work/Unsigned.exe"
check "tools/pack --make-manifest goes through the module given" eval \
  '! make_and_pack "$work/none.so" "$work/NoModule.exe" && [ ! -e "$work/NoModule.exe" ]'
read_signature() {
  "$packer" inspect --json "$1" | python3 -c 'import json, sys
a = json.load(sys.stdin)["authenticode"]
print("signer: " + a["signer"] if a["signed"] else "unsigned")
if a["timestamp"]: print("time stamp: " + a["timestamp"] + " by " + a["timestamp_authority"])'
}
check "reads the signer and the time stamp" eval '[ "$(read_signature "$work/Stamped.exe")" = "$(printf "signer: CN=Vantor Demo Release Signing\ntime stamp: %s by CN=Test Time-Stamp Authority" \
  "$(date -u -d "$(osslsigncode verify -in "$work/Stamped.exe" 2>/dev/null | sed -n "s/^\tTimestamp time: //p")" +%Y-%m-%dT%H:%M:%SZ)")" ]'
check "reads a signature without a time stamp" eval '[ "$(read_signature "$work/Token.exe")" = "signer: CN=Vantor Demo Release Signing" ]'
check "an unsigned launcher" eval '[ "$(read_signature "$work/Unsigned.exe")" = "unsigned" ]'
damaged() {  # damaged OFFSET-FROM-SIGNATURE-START BYTES: a copy of Stamped.exe with bytes changed; exit 2, one line
  local at out
  at=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); e=struct.unpack_from("<I",d,0x3C)[0]; m=struct.unpack_from("<H",d,e+24)[0]; o=e+24+(96 if m==0x10B else 112)+4*8; print(struct.unpack_from("<I",d,o)[0])' "$work/Stamped.exe")
  cp "$work/Stamped.exe" "$work/Damaged.exe"
  printf "$2" | dd of="$work/Damaged.exe" bs=1 seek=$((at + $1)) conv=notrunc status=none
  out=$("$packer" inspect "$work/Damaged.exe" 2>&1)
  [ $? -eq 2 ] && [ "$(wc -l <<<"$out")" -eq 1 ] || { echo "  got: $out"; return 1; }
}
check "damaged: WIN_CERTIFICATE length past the directory" damaged 0 '\xff\xff\x00\x00'
check "damaged: not PKCS#7 signed data" damaged 8 '\x31'
check "damaged: a DER length past its element" damaged 9 '\x84\x7f'
truncate -s -100 "$work/Damaged.exe"
check "damaged: cut short" eval '! "$packer" inspect "$work/Damaged.exe" >/dev/null 2>&1'

finish
