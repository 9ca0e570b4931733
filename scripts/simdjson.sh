#!/usr/bin/env bash
# Fetches the simdjson source that the portable wheels and the sdist compile
# in, into third_party/simdjson (never committed: .gitignore):
#
#   scripts/simdjson.sh
#
# The source is the upstream release as Debian's archive keeps it (the
# .orig.tar.gz of Debian's simdjson package, the same version that Debian 12's
# libsimdjson-dev is built from), pinned by version and SHA-256. Only the
# single-file build (singleheader/simdjson.h and simdjson.cpp) and the licence
# are kept. A folder that already holds this version is left alone.
#
# The archive is fetched from $BRENVOLT_DEBIAN_MIRROR when set, otherwise from
# the Debian mirror this machine's apt is configured with. Needs python3.
set -euo pipefail
cd "$(dirname "$0")/.."

version=3.0.1
sha256=156b1bc5eb0561b2bd166b46d191fd3d95a3e709cc63761477d3b7aec2b6e9ed
archive="simdjson_${version}.orig.tar.gz"
target=third_party/simdjson
stamp="$version $sha256"

if [ -f "$target/SOURCE" ] && [ "$(cat "$target/SOURCE")" = "$stamp" ] \
  && [ -f "$target/simdjson.cpp" ] && [ -f "$target/simdjson.h" ] && [ -f "$target/LICENSE" ]; then
  echo "simdjson.sh: $target holds simdjson $version"
  exit 0
fi

mirror="${BRENVOLT_DEBIAN_MIRROR:-}"
if [ -z "$mirror" ]; then
  # The first archive (not security) URI of apt's sources, in either format.
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | sed -n -e 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\/debian\)\/\?[[:space:]].*/\2/p' \
             -e 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/\?[[:space:]]*$/\1/p' | head -n 1 || true)
fi
if [ -z "$mirror" ]; then
  echo "simdjson.sh: no Debian mirror: set BRENVOLT_DEBIAN_MIRROR to the URL of one (the folder holding pool/)" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
url="$mirror/pool/main/s/simdjson/$archive"
echo "simdjson.sh: fetching $url"
python3 - "$url" "$work/$archive" "$sha256" <<'PY'
import hashlib
import sys
import urllib.request

url, path, expected = sys.argv[1:]
with urllib.request.urlopen(url, timeout=120) as response:
    data = response.read()
actual = hashlib.sha256(data).hexdigest()
if actual != expected:
    sys.exit(f"simdjson.sh: {url}: SHA-256 {actual}, expected {expected}")
with open(path, "wb") as out:
    out.write(data)
PY
tar -xzf "$work/$archive" -C "$work" "simdjson-$version/singleheader/simdjson.h" \
  "simdjson-$version/singleheader/simdjson.cpp" "simdjson-$version/LICENSE"
rm -rf "$target"
mkdir -p "$target"
mv "$work/simdjson-$version/singleheader/simdjson.h" "$work/simdjson-$version/singleheader/simdjson.cpp" \
  "$work/simdjson-$version/LICENSE" "$target/"
echo "$stamp" >"$target/SOURCE"
echo "simdjson.sh: simdjson $version in $target"
