#!/bin/sh
# Makes the certificates the service doubles serve, in directory $1:
#   ca.pem/ca.key              the test CA
#   server.pem/server.key      localhost and 127.0.0.1, signed by the test CA
#   wrong-host-server.pem/.key another host name only, signed by the test CA
#   other-ca.pem/other-ca.key  a second CA that the client does not trust
#   other-server.pem/.key      localhost and 127.0.0.1, signed by the second CA
#   star-server, local-star-server, cn-localhost-server (.pem/.key): signed by the test CA, with
#                              names that must not pass for localhost: DNS:*, DNS:local*, and
#                              the common name localhost beside an alternative name of another host
#   expired-server.pem/.key    localhost and 127.0.0.1, signed by the test CA, expired as soon as
#                              it is made (its validity ends before it begins)
#   ca.d/, other-ca.d/         each CA alone in a directory under its subject hash, as in the
#                              system's CA directory
set -eu
out=$1
openssl=${OPENSSL:-openssl}
mkdir -p "$out"
cd "$out"

new_ca() { # name subject
    "$openssl" req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
        -subj "$2" -keyout "$1.key" -out "$1.pem" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

new_server() { # name ca subjectAltName [subject [days]]
    "$openssl" req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -subj "${4:-/CN=storm test server}" -keyout "$1.key" -out "$1.csr" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$3" \
        > "$1.ext"
    "$openssl" x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
        -days "${5:-3650}" -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}

hashed_dir() { # name
    mkdir -p "$1.d"
    cp "$1.pem" "$1.d/$("$openssl" x509 -hash -noout -in "$1.pem").0"
}

new_ca ca "/CN=nimbrovator test CA"
new_ca other-ca "/CN=nimbrovator other CA"
new_server server ca "DNS:localhost,IP:127.0.0.1"
new_server wrong-host-server ca "DNS:elsewhere.invalid"
new_server other-server other-ca "DNS:localhost,IP:127.0.0.1"
new_server star-server ca "DNS:*"
new_server local-star-server ca "DNS:local*"
new_server cn-localhost-server ca "DNS:elsewhere.invalid" "/CN=localhost"
new_server expired-server ca "DNS:localhost,IP:127.0.0.1" "/CN=storm test server" -1
hashed_dir ca
hashed_dir other-ca
