#!/usr/bin/env bash
# Copies the immer headers the build needs (the include closure of immer/map.hpp) from
# Debian's libimmer-dev into third_party/, so `pip install .` works on a machine without
# them. Run inside the build root (tools/in-root.sh tools/vendor_immer.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=third_party/immer
rm -rf "$out" && mkdir -p "$out"
echo '#include <immer/map.hpp>' | g++ -std=c++20 -x c++ -M - |
  tr ' \\' '\n\n' | grep '^/usr/include/immer/' | sort -u | while read -r f; do
    rel=${f#/usr/include/}
    mkdir -p "third_party/$(dirname "$rel")"
    cp "$f" "third_party/$rel"
  done
zcat -f /usr/share/doc/libimmer-dev/copyright > third_party/immer/COPYRIGHT
echo "vendored $(find "$out" -name '*.hpp' | wc -l) headers"
