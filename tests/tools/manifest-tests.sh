#!/usr/bin/env bash
# tools/make-manifest writes exactly the documented bytes, and
# tools/verify-manifest names the check that each kind of tampering fails;
# both apply the certificate rules, set by set (certificates.sh), through the
# packer (VANTOR_PACKER, or the one tools/host-packer builds).
# Usage: manifest-tests.sh REPO INSTALLER
set -uo pipefail
repo=$1 installer=$2
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/certificates.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$repo/tools/make-signing-keys" "$work/keys" >/dev/null
"$repo/tools/make-signing-keys" "$work/other" >/dev/null
cp "$installer" "$work/Setup.exe"
k=$work/keys
"$repo/tools/make-manifest" --installer "$work/Setup.exe" --key "$k/signer.key" --cert "$k/signer.pem" \
  --ca "$k/ca.pem" --output "$work/scf.dat"

# The expected bytes, built independently (RSA PKCS#1 v1.5 signatures are deterministic).
write_manifest "$work/Setup.exe" "$k/signer.key" "$k/signer.pem" "$k/ca.pem" "$work/expected.dat"
check "manifest bytes as documented" cmp -s "$work/expected.dat" "$work/scf.dat"
check "no CR, no BOM, final LF" python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(not (b"\r" not in d and not d.startswith(b"\xef\xbb\xbf") and d.endswith(b"\n")))' "$work/scf.dat"

# One key in every form it comes in gives the same bytes; a wrong password, a
# key of another certificate, a token URI naming its own module and a
# certificate-store name (Windows only) are refused with nothing written.
"$repo/tools/make-signing-keys" "$work/encrypted" secret >/dev/null
e=$work/encrypted
openssl pkcs12 -export -inkey "$k/signer.key" -in "$k/signer.pem" -passout pass:p12 -out "$work/signer.p12"
openssl pkcs8 -topk8 -in "$k/signer.key" -nocrypt -out "$work/signer.p8"
openssl rsa -in "$k/signer.key" -traditional -out "$work/signer.rsa" 2>/dev/null
make() {  # make KEY OUTPUT [ARGS...]: make-manifest with the key of the set "keys"
  "$repo/tools/make-manifest" --installer "$work/Setup.exe" --key "$1" --cert "$k/signer.pem" --ca "$k/ca.pem" \
    --output "$2" "${@:3}" 2>&1
}
for key in signer.p8 signer.rsa; do check "$key: the same bytes" eval 'make "$work/$key" "$work/$key.dat" && cmp -s "$work/scf.dat" "$work/$key.dat"'; done
check "PKCS#12: the same bytes" eval 'make "$work/signer.p12" "$work/p12.dat" --key-pass p12 && cmp -s "$work/scf.dat" "$work/p12.dat"'
"$repo/tools/make-manifest" --installer "$work/Setup.exe" --key "$e/signer.key" --pass secret --cert "$e/signer.pem" \
  --ca "$e/ca.pem" --output "$work/encrypted.dat"
openssl pkey -in "$e/signer.key" -passin pass:secret -out "$work/decrypted.key"
write_manifest "$work/Setup.exe" "$work/decrypted.key" "$e/signer.pem" "$e/ca.pem" "$work/encrypted-expected.dat"
check "encrypted PEM: the documented bytes" cmp -s "$work/encrypted-expected.dat" "$work/encrypted.dat"
refused() {  # refused WORDS KEY [ARGS...]: exit 2, a message naming WORDS, nothing written
  local out; out=$(make "$2" "$work/refused.dat" "${@:3}"); local rc=$?
  [ $rc -eq 2 ] && [[ $out == "make-manifest: "*"$1"* ]] && [ "$(wc -l <<<"$out")" -eq 1 ] && ! compgen -G "$work/refused.dat*" >/dev/null ||
    { echo "  got ($rc): $out"; return 1; }
}
check "wrong PKCS#12 password" refused "with the password given" "$work/signer.p12" --key-pass wrong
check "encrypted key without its password" refused "without a password" "$e/signer.key"
check "key of another certificate" refused "does not belong to" "$work/other/signer.key"
check "a certificate as the key" refused "is not a PEM private key" "$k/signer.pem"
check "token URI naming a module" refused "--pkcs11-module" "pkcs11:token=release?module-name=softhsm2"
check "certificate-store name on Linux" refused "Windows" 'cert:\CurrentUser\My\0123456789abcdef0123456789abcdef01234567'
check "no key file" refused "key '" "$work/missing.key"

verify() { "$repo/tools/verify-manifest" --installer "$1" --manifest "$2" 2>&1; }
fails_with() {  # fails_with WORD INSTALLER MANIFEST: exit 2 and the message names WORD
  local out; out=$(verify "$2" "$3"); local rc=$?
  [ $rc -eq 2 ] && [[ $out == "verify-manifest: $1"* ]] || { echo "  got ($rc): $out"; return 1; }
}
check "valid manifest verifies" eval 'verify "$work/Setup.exe" "$work/scf.dat" >/dev/null'
check "verify-manifest builds its packer when given none" eval 'env -u VANTOR_PACKER "$repo/tools/verify-manifest" \
  --installer "$work/Setup.exe" --manifest "$work/scf.dat" >/dev/null'
mkdir "$work/elsewhere"; ln -s "$work/elsewhere" "$work/linked.dat"
"$repo/tools/make-manifest" --installer "$work/Setup.exe" --key "$k/signer.key" --cert "$k/signer.pem" \
  --ca "$k/ca.pem" --output "$work/linked.dat" 2>/dev/null
check "make-manifest never writes into a folder linked at its output" eval '[ -z "$(ls -A "$work/elsewhere")" ]' 

cp "$work/Setup.exe" "$work/changed.exe"; printf 'X' | dd of="$work/changed.exe" bs=1 seek=1000 conv=notrunc 2>/dev/null
check "changed installer byte" fails_with md5 "$work/changed.exe" "$work/scf.dat"
cp "$work/Setup.exe" "$work/longer.exe"; printf 'X' >>"$work/longer.exe"
check "longer installer" fails_with size "$work/longer.exe" "$work/scf.dat"

# tamper NAME EXPRESSION: writes work/NAME.dat from the manifest `d`, whose
# first base64 line is `sig` and whose installer size is `size`.
tamper() {
  python3 -c "import os, sys
d = open(sys.argv[1], 'rb').read()
sig = d.split(b'\n')[2]
size = b'%d' % os.path.getsize(sys.argv[3])
open(sys.argv[2], 'wb').write($2)" "$work/scf.dat" "$work/$1.dat" "$work/Setup.exe"
}
tamper size 'd.replace(b"\" " + size + b" ", b"\" 1 ", 1)'
check "size line altered" fails_with size "$work/Setup.exe" "$work/size.dat"
tamper signature 'd.replace(sig, bytes(reversed(sig)), 1)'
check "signature altered" fails_with signature "$work/Setup.exe" "$work/signature.dat"
# A line that matches another installer, under the old signature.
"$repo/tools/make-manifest" --installer "$work/changed.exe" --key "$k/signer.key" --cert "$k/signer.pem" \
  --ca "$k/ca.pem" --output "$work/changed.dat"
python3 -c 'import sys; a=open(sys.argv[1],"rb").read().split(b"\n",1); b=open(sys.argv[2],"rb").read().split(b"\n",1); open(sys.argv[3],"wb").write(b[0]+b"\n"+a[1])' \
  "$work/scf.dat" "$work/changed.dat" "$work/swapped.dat"
check "line 1 swapped under the old signature" fails_with signature "$work/changed.exe" "$work/swapped.dat"
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); ca=open(sys.argv[2],"rb").read(); i=d.rindex(b"-----BEGIN CERTIFICATE-----"); open(sys.argv[3],"wb").write(d[:i]+ca)' \
  "$work/scf.dat" "$work/other/ca.pem" "$work/foreign-ca.dat"
check "certificate from another CA" fails_with certificate "$work/Setup.exe" "$work/foreign-ca.dat"
tamper crlf 'd.replace(b"\n", b"\r\n")'
check "CRLF line ends" fails_with form "$work/Setup.exe" "$work/crlf.dat"
tamper bom 'b"\xef\xbb\xbf" + d'
check "byte-order mark" fails_with form "$work/Setup.exe" "$work/bom.dat"
tamper nolf 'd[:-1]'
check "no final line feed" fails_with form "$work/Setup.exe" "$work/nolf.dat"
tamper longline 'd.replace(sig + b"\n", sig + sig + b"\n", 1)'
check "base64 line over 64 characters" fails_with form "$work/Setup.exe" "$work/longline.dat"
tamper padding 'd.replace(sig + b"\n", sig[:-4] + b"A=AA\n", 1)'
check "'=' inside base64 (vantor-pack reads base64 strictly)" fails_with form "$work/Setup.exe" "$work/padding.dat"
# One manifest, one spelling: a short line inside a block, or padding bits set.
tamper shortline 'd.replace(sig + b"\n", sig[:32] + b"\n" + sig[32:] + b"\n", 1)'
check "a base64 line of 32 characters inside the signature" fails_with form "$work/Setup.exe" "$work/shortline.dat"
tamper paddingbits 'd[:d.index(b"==\n") - 1] + bytes([d[d.index(b"==\n") - 1] + 1]) + d[d.index(b"==\n"):]'
check "base64 whose padding bits are not zero" fails_with form "$work/Setup.exe" "$work/paddingbits.dat"
python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); i=d.rindex(b"-----BEGIN CERTIFICATE-----"); open(sys.argv[2],"wb").write(d[:i])' "$work/scf.dat" "$work/onecert.dat"
check "one certificate only" fails_with form "$work/Setup.exe" "$work/onecert.dat"

# The certificate rules: each set in a manifest written without checks.
make_certificate_cases "$work/cases"
made() {  # made SET: make-manifest with that set's keys
  local c=$work/cases/$1
  "$repo/tools/make-manifest" --installer "$work/Setup.exe" --key "$c/signer.key" --cert "$c/signer.pem" \
    --ca "$c/ca.pem" --output "$work/made-$1.dat" 2>&1
}
for case in "${certificate_cases[@]}"; do
  read -r set verdict description <<<"$case"
  c=$work/cases/$set
  write_manifest "$work/Setup.exe" "$c/signer.key" "$c/signer.pem" "$c/ca.pem" "$work/$set.dat"
  if [ "$verdict" = good ]; then
    check "verify-manifest passes $description" eval 'verify "$work/Setup.exe" "$work/$set.dat" >/dev/null'
    check "make-manifest writes $description" eval 'made "$set" && cmp -s "$work/$set.dat" "$work/made-$set.dat"'
  else
    check "verify-manifest refuses $description" fails_with certificate "$work/Setup.exe" "$work/$set.dat"
    check "make-manifest refuses $description, writing nothing" \
      eval 'out=$(made "$set"); [ $? -eq 2 ] && [[ $out == "make-manifest: certificate: "* ]] && ! compgen -G "$work/made-$set.dat*" >/dev/null'
  fi
done

finish
