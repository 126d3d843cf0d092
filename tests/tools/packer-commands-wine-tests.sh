#!/usr/bin/env bash
# The Windows packer's commands under Wine against the Linux packer's:
# make-manifest writes the same bytes from one key as a PEM file, an encrypted
# PEM file, a PKCS#12 file and a key in the user's certificate store, and as
# the Linux packer from a SoftHSM2 token; it refuses a wrong password, a key of
# another certificate, a store key that is not there and a pkcs11: key with
# nothing written; inspect gives the same report.
# Usage: packer-commands-wine-tests.sh REPO BIN_DIR NATIVE_PACKER
set -uo pipefail
repo=$1 bin=$2 native=$3
source "$(dirname "$0")/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
k=$work/keys e=$work/encrypted
"$repo/tools/make-signing-keys" "$k" >/dev/null
"$repo/tools/make-signing-keys" "$e" secret >/dev/null
openssl pkcs12 -export -inkey "$k/signer.key" -in "$k/signer.pem" -passout pass:p12 -out "$work/signer.p12"
installer=$bin/vantor-pack.exe
both() {  # both NAME KEYS KEY [ARGS...]: the two packers' manifests are the same bytes
  "$native" make-manifest --installer "$installer" --key "$3" --cert "$2/signer.pem" --ca "$2/ca.pem" \
    --output "$work/$1-linux.dat" "${@:4}" &&
    winpack make-manifest --installer "$installer" --key "$3" --cert "$2/signer.pem" --ca "$2/ca.pem" \
      --output "$work/$1-windows.dat" "${@:4}" &&
    cmp "$work/$1-linux.dat" "$work/$1-windows.dat"
}
check "PEM key: the same bytes" both pem "$k" "$k/signer.key"
check "encrypted PEM key: the same bytes" both encrypted "$e" "$e/signer.key" --key-pass secret
check "PKCS#12 file: the same bytes" both p12 "$k" "$work/signer.p12" --key-pass p12
check "PEM and PKCS#12: the same bytes" cmp "$work/pem-windows.dat" "$work/p12-windows.dat"
source "$(dirname "$0")/signing-fixtures.sh"
make_token "$work/token" VantorRelease 4711 "$k/signer.key"
"$native" make-manifest --installer "$installer" --key "pkcs11:token=VantorRelease;object=signer" --key-pass 4711 \
  --cert "$k/signer.pem" --ca "$k/ca.pem" --output "$work/token-linux.dat"
check "a key in a SoftHSM2 token (Linux): the Windows packer's bytes" cmp "$work/token-linux.dat" "$work/pem-windows.dat"
refused() {  # refused WORDS KEY [ARGS...]: exit 2, one line naming WORDS, nothing written
  local out; out=$(winpack make-manifest --installer "$installer" --key "$2" --cert "$k/signer.pem" --ca "$k/ca.pem" \
    --output "$work/refused.dat" "${@:3}" 2>&1); local rc=$?
  [ $rc -eq 2 ] && [[ $out == "vantor-pack: "*"$1"* ]] && [ "$(wc -l <<<"$out")" -eq 1 ] &&
    ! compgen -G "$work/refused.dat*" >/dev/null || { echo "  got ($rc): $out"; return 1; }
}
check "Windows: wrong PKCS#12 password" refused "with the password given" "$work/signer.p12" --key-pass wrong
check "Windows: wrong PEM password" refused "with the password given" "$e/signer.key" --key-pass wrong
check "Windows: key of another certificate" refused "does not belong to" "$e/signer.key" --key-pass secret
check "Windows: a pkcs11: key" refused "reached on Linux" "pkcs11:token=VantorRelease;object=signer"
check "Windows: a certificate as the key" refused "not a PEM private key" "$k/ca.pem"
printf "neither PEM nor PKCS#12" >"$work/junk.key"
check "Windows: neither PEM nor PKCS#12" refused "not a private key in form" "$work/junk.key"

# The same key in the current user's store, taken out again whatever happens.
thumbprint=$("$repo/tools/wine-run" "$bin/store-certificate.exe" add "$(windows_path "$work/signer.p12")" p12 | tr -d '\r')
trap '[ -z "$thumbprint" ] || "$repo/tools/wine-run" "$bin/store-certificate.exe" remove "$thumbprint"; rm -rf "$work"' EXIT
stored() {  # the store key's manifest is the Linux packer's from the PEM key
  winpack make-manifest --installer "$installer" --key "Cert:\\CurrentUser\\My\\${thumbprint,,}" --cert "$k/signer.pem" \
    --ca "$k/ca.pem" --output "$work/store-windows.dat" && cmp "$work/pem-linux.dat" "$work/store-windows.dat"
}
check "certificate store key: the same bytes" stored
check "Windows: no such certificate in the store" refused "no certificate with this thumbprint" \
  "cert:\\CurrentUser\\My\\$(printf '0%.0s' {1..40})"
check "Windows: a store key not named cert:\\LOCATION\\STORE\\THUMBPRINT" refused "names no certificate in a store" \
  "cert:\\Elsewhere\\My\\$thumbprint"
linux_refuses() {  # the Linux packer refuses a store key: exit 2, saying why, nothing written
  local out; out=$("$native" make-manifest --installer "$installer" --key "cert:\\CurrentUser\\My\\$thumbprint" \
    --cert "$k/signer.pem" --ca "$k/ca.pem" --output "$work/linux-store.dat" 2>&1); local rc=$?
  [ $rc -eq 2 ] && [[ $out == *"a Windows thing"* ]] && [ ! -e "$work/linux-store.dat" ] || { echo "  got ($rc): $out"; return 1; }
}
check "Linux: a store key is a Windows thing" linux_refuses

"$native" --stub "$bin/VantorSetup-stub.exe" --installer "$installer" --manifest "$work/pem-linux.dat" --output "$work/Setup.exe"
"$native" inspect "$work/Setup.exe" --json >"$work/linux.json"
winpack inspect "$work/Setup.exe" --json | tr -d '\r' >"$work/windows.json"
check "inspect: the same report" diff "$work/linux.json" "$work/windows.json"
finish
