#!/usr/bin/env bash
# Builds the native sanitizer fuzzer of the parsing rules: build.sh SOURCE_DIR OUTPUT
set -euo pipefail
src="$1"
out="$2"
sources=("$src/feeds/rssstore.cpp" "$src/feeds/keyset.cpp" "$src/tests/fuzz/feedgen.cpp"
         "$src/tests/fuzz/native/parser_stub.cpp" "$src/tests/fuzz/native/fuzz_native.cpp")
newest=$(ls -t "${sources[@]}" "$src"/tests/fuzz/*.h "$src"/tests/fuzz/native/*.h "$src"/feeds/*.h \
         $(find "$src/tests/fuzz/native/shim" -name '*.h') | head -1)
if [ -x "$out" ] && [ "$out" -nt "$newest" ]; then exit 0; fi
# The address resolution the store uses, where it has one (plain C++).
[ -f "$src/feeds/urls.cpp" ] && sources+=("$src/feeds/urls.cpp")
mkdir -p "$(dirname "$out")"
${CXX:-g++} -std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined \
  -fno-sanitize-recover=undefined -Wall -Wno-unknown-pragmas \
  -I"$src/tests/fuzz/native/shim" -I"$src" "${sources[@]}" -o "$out"
