# Sourced inside a private mount and network namespace (unshare --mount --net): makes the
# update host resolve to 127.0.0.1 there and trusts a throwaway CA there only, so the real
# launcher talks HTTPS to a local server and nothing outside the namespace changes.
#
#   korvantis_certs CACHE_DIR HOST [FALLBACK_HOST]
#                                      prints the certificate folder CACHE_DIR/certs-HOST,
#                                      making it once (ca.pem; server, untrusted and wrong-host
#                                      .key/.crt/.chain.pem, and fallback for FALLBACK_HOST)
#   korvantis_private_net HOST CERT_DIR SCRATCH_DIR [FALLBACK_HOST]
#                                      lo up, HOST -> 127.0.0.1, FALLBACK_HOST -> 127.0.0.2, the
#                                      CA in the system bundle (files kept in SCRATCH_DIR; the
#                                      mounts end with the namespace)

korvantis_make_certs() {
  local dir=$1 host=$2 fallback=${3:-yedek.korvantis.example} tmp
  tmp=$(mktemp -d "$dir.XXXXXX")
  (
    cd "$tmp"
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ca.key -out ca.pem \
      -subj "/CN=Korvantis Test CA" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout other-ca.key -out other-ca.pem \
      -subj "/CN=Korvantis Untrusted CA" -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    issue() {  # name ca-prefix dns-name
      openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" \
        -subj "/CN=$3" 2>/dev/null
      printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        "$3" > "$1.ext"
      openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial \
        -days 3650 -extfile "$1.ext" -out "$1.crt" 2>/dev/null
      cat "$1.crt" "$2.pem" > "$1.chain.pem"
      rm -f "$1.csr" "$1.ext"
    }
    issue server ca "$host"
    issue untrusted other-ca "$host"
    issue wrong-host ca "baska-sunucu.example"
    issue fallback ca "$fallback"
  )
  # Another run may have made them meanwhile; either set will do.
  mv -T "$tmp" "$dir" 2>/dev/null || rm -rf "$tmp"
}

korvantis_certs() {
  local cache=$1 host=$2 fallback=${3:-yedek.korvantis.example}
  local dir=$cache/certs-$host
  mkdir -p "$cache"
  if [[ ! -f $dir/fallback.chain.pem ]] ||
     ! openssl x509 -in "$dir/fallback.crt" -noout -ext subjectAltName 2>/dev/null | grep -q "DNS:$fallback\$"; then
    rm -rf "$dir"
    korvantis_make_certs "$dir" "$host" "$fallback"
  fi
  echo "$dir"
}

korvantis_private_net() {
  local host=$1 certs=$2 scratch=$3 fallback=${4:-yedek.korvantis.example}
  ip link set lo up
  { cat /etc/hosts; echo "127.0.0.1 $host"; echo "127.0.0.2 $fallback"; } > "$scratch/hosts"
  mount --bind "$scratch/hosts" /etc/hosts
  cat /etc/ssl/certs/ca-certificates.crt "$certs/ca.pem" > "$scratch/ca-certificates.crt"
  mount --bind "$scratch/ca-certificates.crt" /etc/ssl/certs/ca-certificates.crt
}
