#!/usr/bin/env bash
# Builds the native sanitizer fuzzer of the pure format/ functions: build.sh SOURCE_DIR OUTPUT
# The rules, the records and the scanners are plain C++: they build as they are, with no stand-ins.
set -euo pipefail
src="$1"
out="$2"
sources=("$src/format/feedrules.cpp" "$src/format/entrypicture.cpp" "$src/store/feedrecords.cpp" "$src/store/rssstore.cpp" "$src/store/keyset.cpp"
         "$src/format/urls.cpp" "$src/format/plaintext.cpp" "$src/format/htmlscan.cpp" "$src/format/markupguard.cpp" "$src/format/bytescan.cpp" "$src/tests/fuzz/feedgen.cpp"
         "$src/tests/fuzz/target_html.cpp" "$src/tests/fuzz/native/fuzz_native.cpp")
newest=$(ls -t "${sources[@]}" "$src"/tests/fuzz/*.h "$src"/format/*.h "$src"/store/*.h | head -1)
if [ -x "$out" ] && [ "$out" -nt "$newest" ]; then exit 0; fi
mkdir -p "$(dirname "$out")"
${CXX:-g++} -std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined \
  -fno-sanitize-recover=undefined -Wall -Wno-unknown-pragmas \
  -I"$src" "${sources[@]}" -o "$out"
