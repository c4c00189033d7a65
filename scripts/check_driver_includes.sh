#!/bin/sh
# Driver code includes only its own headers (adapter/, topology/, stream/,
# dsp/, common/, primitives/), the platform's API headers (nt/, usb/,
# portcls/, ks/) and standard or compiler headers (<name> without a
# folder). Prints each include outside those roots and exits 1 if any.
cd "${1:-$(dirname "$0")/..}" || exit 2
dirs=""
for d in adapter topology stream dsp common primitives; do
  [ -d "$d" ] && dirs="$dirs $d"
done
bad=$(grep -rnE '^[[:space:]]*#[[:space:]]*include' $dirs --include='*.h' --include='*.cpp' --include='*.inc' |
  grep -vE '#[[:space:]]*include[[:space:]]+"(adapter|topology|stream|dsp|common|primitives|nt|usb|portcls|ks)/[^"]+"' |
  grep -vE '#[[:space:]]*include[[:space:]]+<[^/>]+>')
if [ -n "$bad" ]; then
  echo "driver includes outside the driver and platform API roots:"
  echo "$bad"
  exit 1
fi
echo "driver includes stay inside their roots"
