# Real signing parts for the tests, made afresh in a folder of the caller's
# for each run: a SoftHSM2 token holding a signing key, RFC 3161 time-stamp
# authorities on 127.0.0.1 (timestamp-server.py, answering with
# `openssl ts -reply`), and a port where nothing listens, for the fall-back.
# Source it; servers started here are stopped by stop_timestamp_servers
# (call it from the caller's EXIT trap).

signing_fixtures=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
softhsm_module=/usr/lib/softhsm/libsofthsm2.so
timestamp_server_pids=()

# make_token DIR LABEL PIN KEY.pem [OBJECT [ID]]: a new token LABEL, kept in
# DIR (SOFTHSM2_CONF points there from now on, for this shell and its
# children), holding the unencrypted PEM key KEY as the private key OBJECT
# (default "signer") with the hex ID (default 01). Several tokens can share DIR.
make_token() {
  local dir=$1 label=$2 pin=$3 key=$4 object=${5:-signer} id=${6:-01}
  mkdir -p "$dir/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/tokens" >"$dir/softhsm2.conf"
  export SOFTHSM2_CONF=$dir/softhsm2.conf
  softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "so-$pin" >/dev/null &&
    openssl pkcs8 -topk8 -nocrypt -in "$key" -out "$dir/$object.p8" &&
    softhsm2-util --import "$dir/$object.p8" --token "$label" --label "$object" --id "$id" --pin "$pin" >/dev/null
  local status=$?
  rm -f "$dir/$object.p8"
  return $status
}

# make_tsa DIR: a time-stamp authority's CA (DIR/ca.pem) and the TSA's
# certificate (DIR/tsa.pem, tsa.key; time stamping only), valid for 30 years,
# and its `openssl ts` configuration.
make_tsa() {
  local dir=$1
  mkdir -p "$dir"
  cat >"$dir/tsa.cnf" <<CNF
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = $dir/serial
default_policy = 1.3.6.1.4.1.55555.2
digests = sha1, sha256, sha384, sha512
signer_digest = sha256
ess_cert_id_alg = sha256
accuracy = secs:1
tsa_name = yes
[ca_cert]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
[tsa_cert]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
CNF
  echo 01 >"$dir/serial"
  openssl req -new -x509 -newkey rsa:2048 -nodes -keyout "$dir/ca.key" -subj "/CN=Test Time-Stamp CA" -days 10950 \
    -sha256 -config "$dir/tsa.cnf" -extensions ca_cert -out "$dir/ca.pem" 2>/dev/null &&
    openssl req -new -newkey rsa:2048 -nodes -keyout "$dir/tsa.key" -subj "/CN=Test Time-Stamp Authority" \
      -config "$dir/tsa.cnf" -out "$dir/tsa.csr" 2>/dev/null &&
    openssl x509 -req -in "$dir/tsa.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -set_serial 9 -days 10950 -sha256 \
      -extfile "$dir/tsa.cnf" -extensions tsa_cert -out "$dir/tsa.pem" 2>/dev/null
}

# start_timestamp_server VAR TSA_DIR [--fail-first N]: starts a server for
# the TSA in TSA_DIR (made by make_tsa), sets VAR to its URL and VAR_state
# to its own folder, where the file "queries" counts the queries it got.
# With --fail-first, its first N queries get HTTP 503.
start_timestamp_server() {
  # Locals named so that they cannot hide the caller's VAR.
  local _sts_var=$1 _sts_tsa=$2 _sts_state _sts_try
  shift 2
  _sts_state=$(mktemp -d "$_sts_tsa/server.XXXXXX")
  python3 "$signing_fixtures/timestamp-server.py" "$_sts_tsa" "$_sts_state" "$@" </dev/null >/dev/null 2>&1 &
  timestamp_server_pids+=($!)
  for _sts_try in $(seq 100); do
    [ -s "$_sts_state/port" ] && break
    sleep 0.1
  done
  [ -s "$_sts_state/port" ] || { echo "signing-fixtures: the time-stamp server did not start" >&2; return 1; }
  printf -v "$_sts_var" 'http://127.0.0.1:%s/' "$(cat "$_sts_state/port")"
  printf -v "${_sts_var}_state" '%s' "$_sts_state"
}

stop_timestamp_servers() {
  [ ${#timestamp_server_pids[@]} -eq 0 ] || kill "${timestamp_server_pids[@]}" 2>/dev/null
  wait "${timestamp_server_pids[@]}" 2>/dev/null
  timestamp_server_pids=()
}

# dead_url VAR: sets VAR to a URL on 127.0.0.1 where nothing listens
# (a port the system just handed out and took back: connections are refused).
dead_url() {
  printf -v "$1" 'http://127.0.0.1:%s/' \
    "$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
}
