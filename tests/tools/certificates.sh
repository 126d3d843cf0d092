# Shared by the tool tests: crafted signing sets, one per certificate rule or
# DER spelling, and a manifest writer that checks nothing (so that a set the
# tools refuse can still be put in a manifest).

# The sets: NAME VERDICT DESCRIPTION. Each lives in DIR/NAME as ca.pem,
# signer.pem and signer.key; `good` sets must pass every tool, `bad` ones be
# refused by every tool.
certificate_cases=(
  "demo good the demo CA and signer"
  "intermediate good a CA that is not a root, signing with SHA-384"
  "expired good a signer whose validity ended (dates are not checked)"
  "noncritical good a signer with an unknown extension that is not critical"
  "ca-not-ca bad a CA whose basic constraints say CA:FALSE"
  "ca-no-constraints bad a CA without basic constraints"
  "ca-keyusage bad a CA whose key usage does not allow signing certificates"
  "signer-keyusage bad a signer whose key usage does not allow digital signatures"
  "signer-critical bad a signer with an unknown critical extension"
  "ca-critical bad a CA with an unknown critical extension"
  "issuer-encoding bad a signer whose issuer is the CA's name in another string type"
  "signer-critical-eku good a signer with a critical extended key usage for code signing"
  "signer-eku-server bad a signer only for TLS servers (extended key usage)"
  "ca-usage-unused-bit bad a CA whose certificate-signing bit lies among its key usage's unused bits"
  "signer-boolean bad a signer whose critical flag is 0x01, not DER's 0xFF"
  "signer-version-2 bad a signer with extensions that says version 2"
  "signer-empty-extensions bad a signer with an empty list of extensions"
  "signer-1024 bad a signer with a 1024-bit RSA key"
  "signer-512 bad a signer with a 512-bit RSA key"
  "ca-1024 bad a CA with a 1024-bit RSA key"
  "signer-md5 bad a signer certificate signed with MD5"
  "signer-sha1 bad a signer certificate signed with SHA-1"
  "ca-sha1 bad a CA certificate self-signed with SHA-1"
)

# make_certificate_cases DIR: all sets, built from as few keys as possible.
make_certificate_cases() {
  local dir=$1 cnf=$1/extensions.cnf
  mkdir -p "$dir"
  cat >"$cnf" <<'CNF'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[ca_not_ca]
basicConstraints = critical, CA:FALSE
[ca_no_constraints]
keyUsage = critical, keyCertSign
[ca_keyusage]
basicConstraints = critical, CA:TRUE
keyUsage = critical, digitalSignature, cRLSign
[ca_critical]
basicConstraints = critical, CA:TRUE
1.3.6.1.4.1.55555.1 = critical, ASN1:NULL
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[signer_keyusage]
keyUsage = critical, keyEncipherment
[signer_critical]
keyUsage = critical, digitalSignature
1.3.6.1.4.1.55555.1 = critical, ASN1:NULL
[signer_critical_eku]
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, codeSigning
[signer_eku_server]
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[signer_noncritical]
keyUsage = critical, digitalSignature
1.3.6.1.4.1.55555.1 = ASN1:NULL
CNF
  local key
  for key in 512:512 1024:1024 2048:2048 ca:2048 intermediate:2048; do
    openssl genpkey -quiet -algorithm RSA -pkeyopt "rsa_keygen_bits:${key#*:}" -out "$dir/${key%:*}.key"
  done
  # root NAME EXTENSIONS [KEY [DIGEST]]: a self-signed CA
  root() {
    mkdir -p "$dir/$1"
    openssl req -new -x509 -key "$dir/${3:-ca}.key" -subj "/CN=Test CA $1" -days 3650 "-${4:-sha256}" \
      -config "$cnf" -extensions "$2" -out "$dir/$1/ca.pem"
    cp "$dir/${3:-ca}.key" "$dir/$1/ca.key"
  }
  # signer NAME EXTENSIONS [KEY_BITS [DIGEST]]: a signer issued by NAME's CA
  signer() {
    cp "$dir/${3:-2048}.key" "$dir/$1/signer.key"
    openssl req -new -key "$dir/$1/signer.key" -subj "/CN=Test signer $1" -config "$cnf" -out "$dir/$1/signer.csr"
    openssl x509 -req -in "$dir/$1/signer.csr" -CA "$dir/$1/ca.pem" -CAkey "$dir/$1/ca.key" -set_serial 7 \
      -days 3650 "-${4:-sha256}" -extfile "$cnf" -extensions "$2" -out "$dir/$1/signer.pem" 2>/dev/null
  }
  root demo ca; signer demo signer
  # The CA's name as UTF8String in the signer's issuer, as PrintableString in
  # the CA's subject: the same name to OpenSSL, other bytes to CryptoAPI.
  root issuer-encoding ca; signer issuer-encoding signer
  { printf '[req]\ndistinguished_name = dn\nstring_mask = default\n[dn]\n'; cat "$cnf"; } >"$dir/printable.cnf"
  openssl req -new -x509 -key "$dir/ca.key" -subj "/CN=Test CA issuer-encoding" -days 3650 -sha256 \
    -config "$dir/printable.cnf" -extensions ca -out "$dir/issuer-encoding/ca.pem"
  # A root, an intermediate CA it issued, and the signer the intermediate issued.
  root intermediate ca
  mv "$dir/intermediate/ca.pem" "$dir/intermediate/root.pem"
  openssl req -new -key "$dir/intermediate.key" -subj "/CN=Test intermediate CA" -config "$cnf" -out "$dir/intermediate/ca.csr"
  openssl x509 -req -in "$dir/intermediate/ca.csr" -CA "$dir/intermediate/root.pem" -CAkey "$dir/ca.key" \
    -set_serial 8 -days 3650 -sha384 -extfile "$cnf" -extensions ca -out "$dir/intermediate/ca.pem" 2>/dev/null
  cp "$dir/intermediate.key" "$dir/intermediate/ca.key"
  signer intermediate signer 2048 sha384
  # Validity from 2001 to 2002, through `openssl ca`, which takes any dates.
  root expired ca
  local db=$dir/expired/db
  mkdir -p "$db"; : >"$db/index.txt"; echo 01 >"$db/serial"
  printf '[ca]\ndatabase = %s\nnew_certs_dir = %s\nserial = %s\ndefault_md = sha256\npolicy = any\n[any]\ncommonName = supplied\n' \
    "$db/index.txt" "$db" "$db/serial" >"$db/ca.cnf"
  cp "$dir/2048.key" "$dir/expired/signer.key"
  openssl req -new -key "$dir/expired/signer.key" -subj "/CN=Test signer expired" -config "$cnf" -out "$dir/expired/signer.csr"
  openssl ca -batch -config "$db/ca.cnf" -name ca -cert "$dir/expired/ca.pem" \
    -keyfile "$dir/expired/ca.key" -startdate 20010101000000Z -enddate 20020101000000Z -extfile "$cnf" \
    -extensions signer -notext -in "$dir/expired/signer.csr" -out "$dir/expired/signer.pem" 2>/dev/null
  root noncritical ca; signer noncritical signer_noncritical
  root ca-not-ca ca_not_ca; signer ca-not-ca signer
  root ca-no-constraints ca_no_constraints; signer ca-no-constraints signer
  root ca-keyusage ca_keyusage; signer ca-keyusage signer
  root signer-keyusage ca; signer signer-keyusage signer_keyusage
  root signer-critical ca; signer signer-critical signer_critical
  root ca-critical ca_critical; signer ca-critical signer
  root signer-critical-eku ca; signer signer-critical-eku signer_critical_eku
  root signer-1024 ca; signer signer-1024 signer 1024
  root signer-512 ca; signer signer-512 signer 512
  root ca-1024 ca 1024; signer ca-1024 signer
  root signer-md5 ca; signer signer-md5 signer 2048 md5
  root signer-sha1 ca; signer signer-sha1 signer 2048 sha1
  root ca-sha1 ca ca sha1; signer ca-sha1 signer
  root signer-eku-server ca; signer signer-eku-server signer_eku_server
  # Spellings OpenSSL does not write: bytes of a sound certificate changed
  # and the certificate signed again by its issuer.
  root ca-usage-unused-bit ca; signer ca-usage-unused-bit signer
  resign "$dir/ca-usage-unused-bit/ca.pem" "$dir/ca.key" 551d0f0101ff040403020106 551d0f0101ff040403020304
  resign "$dir/ca-usage-unused-bit/signer.pem" "$dir/ca.key"  # its issuer's signature, unchanged: the CA's key
  local set
  for set in signer-boolean signer-version-2 signer-empty-extensions; do root "$set" ca; signer "$set" signer; done
  resign "$dir/signer-boolean/signer.pem" "$dir/ca.key" 551d130101ff 551d13010101
  resign "$dir/signer-version-2/signer.pem" "$dir/ca.key" a003020102 a003020101
  resign "$dir/signer-empty-extensions/signer.pem" "$dir/ca.key" extensions 3000
}

# resign CERT.pem ISSUER_KEY [FROM_HEX TO_HEX]: replaces the first FROM in the
# certificate's to-be-signed part by TO ("extensions": its extensions field
# by an empty list, given as [3]'s contents) and signs it again with SHA-256.
resign() {
  python3 - "$@" <<'PY'
import base64, subprocess, sys
cert, key = sys.argv[1], sys.argv[2]
def length(n): return bytes([n]) if n < 0x80 else bytes([0x81, n]) if n < 0x100 else bytes([0x82, n >> 8, n & 0xFF])
def tlv(tag, contents): return bytes([tag]) + length(len(contents)) + contents
def element(d, at):  # (start of contents, end)
    n, header = d[at + 1], 2
    if n & 0x80: header, n = 2 + (n & 0x7F), int.from_bytes(d[at + 2:at + 2 + (n & 0x7F)], "big")
    return at + header, at + header + n
der = base64.b64decode("".join(l for l in open(cert).read().splitlines() if "-----" not in l))
start, _ = element(der, 0)
tbs_start, tbs_end = element(der, start)
_, algorithm_end = element(der, tbs_end)
tbs = der[tbs_start:tbs_end]
if len(sys.argv) > 3 and sys.argv[3] == "extensions":
    at = tbs_start
    while at < tbs_end and der[at] != 0xA3: at = element(der, at)[1]
    tbs = der[tbs_start:at] + tlv(0xA3, bytes.fromhex(sys.argv[4]))
elif len(sys.argv) > 3:
    assert bytes.fromhex(sys.argv[3]) in tbs, "nothing to replace"
    tbs = tbs.replace(bytes.fromhex(sys.argv[3]), bytes.fromhex(sys.argv[4]), 1)
tbs = tlv(0x30, tbs)
signature = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-binary"], input=tbs, capture_output=True, check=True).stdout
text = base64.b64encode(tlv(0x30, tbs + der[tbs_end:algorithm_end] + tlv(0x03, b"\0" + signature))).decode()
with open(cert, "w") as out:
    out.write("-----BEGIN CERTIFICATE-----\n" + "".join(text[i:i + 64] + "\n" for i in range(0, len(text), 64)) + "-----END CERTIFICATE-----\n")
PY
}

# write_manifest INSTALLER KEY SIGNER_PEM CA_PEM OUTPUT: the manifest as
# documented, written without any check.
write_manifest() {
  local line
  line=$(python3 -c 'import hashlib,sys; d=open(sys.argv[1],"rb").read(); print("\"setup.exe\" %d %s" % (len(d), hashlib.md5(d).hexdigest()))' "$1")
  {
    printf '%s\n-----BEGIN SIGNATURE-----\n' "$line"
    printf '%s' "$line" | openssl dgst -sha256 -sign "$2" -binary | base64 -w 64
    printf -- '-----END SIGNATURE-----\n'
    openssl x509 -in "$3"
    openssl x509 -in "$4"
  } >"$5"
}
