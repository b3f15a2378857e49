#!/usr/bin/env bash
# Builds the digest driver natively and for 64-bit Windows (mingw-w64),
# runs both over the same data files (the bundled samples, generated runs of
# every layout and their damaged copies, and the fuzz corpus) and compares
# the digests line for line. The Windows build runs under Wine, in a
# throw-away prefix.
#
#   tools/digest/test_windows.sh VENV_DIR
#
# Environment: BUILD_DIR (build/windows), FUZZ_CORPUS (tests/fuzz/corpus),
# WINE (found on the PATH, or Debian's /usr/lib/wine/wine64). Installs nothing: a missing tool is an
# error naming the Debian package that has it.
set -euo pipefail
cd "$(dirname "$0")/../.."

venv=${1:?usage: test_windows.sh VENV_DIR}
build=${BUILD_DIR:-build/windows}
corpus=${FUZZ_CORPUS:-tests/fuzz/corpus}
mingw_cxx=x86_64-w64-mingw32-g++-posix  # the compiler cmake/mingw-w64-x86_64.cmake names

find_tool() {
  for candidate in "$@"; do
    if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; return 0; fi
    if [ -x "$candidate" ]; then echo "$candidate"; return 0; fi
  done
  return 1
}

command -v "$mingw_cxx" >/dev/null 2>&1 ||
  { echo "test-windows: $mingw_cxx not found (Debian package g++-mingw-w64-x86-64-posix)" >&2; exit 1; }
wine=${WINE:-$(find_tool wine wine64 /usr/lib/wine/wine64 || true)}
[ -n "$wine" ] || { echo "test-windows: wine not found (Debian package wine64)" >&2; exit 1; }
wineserver=$(find_tool wineserver /usr/lib/wine/wineserver || true)

configure=(-G Ninja "-DCMAKE_MAKE_PROGRAM=$(realpath "$venv/bin/ninja")" -DCMAKE_BUILD_TYPE=Release
           -DKELVARA_PYTHON=OFF -DKELVARA_DIGEST=ON -DKELVARA_WERROR=ON)
"$venv/bin/cmake" -S . -B "$build/native" "${configure[@]}" >/dev/null
"$venv/bin/cmake" --build "$build/native"
"$venv/bin/cmake" -S . -B "$build/mingw" "${configure[@]}" \
  "-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/mingw-w64-x86_64.cmake" >/dev/null
"$venv/bin/cmake" --build "$build/mingw"

rm -rf "$build/inputs"
"$venv/bin/python" tools/digest/make_inputs.py "$build/inputs" --samples samples --corpus "$corpus"

prefix=$(mktemp -d "${TMPDIR:-/tmp}/kelvara-wine.XXXXXX")
cleanup() {
  if [ -n "$wineserver" ]; then WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true; fi
  rm -rf "$prefix"
}
trap cleanup EXIT

# Paths in the list are relative to the inputs folder, which both builds run
# in. The Windows build gets them with backslashes, and one absolute path
# through Wine's Z: drive, which maps the Unix root.
inputs=$(realpath "$build/inputs")
cp "$build/inputs/inputs.txt" "$build/native-inputs.txt"
echo "$inputs/nested/deeper/nested run.qgd" >>"$build/native-inputs.txt"
tr '/' '\\' <"$build/native-inputs.txt" | sed 's/^\\/Z:\\/' >"$build/windows-inputs.txt"

(cd "$build/inputs" && ../native/kelvara_digest @../native-inputs.txt >../native.txt)
start=$(date +%s)
(cd "$build/inputs" &&
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$wine" ../mingw/kelvara_digest.exe @../windows-inputs.txt >../windows.txt 2>../wine-stderr.txt) ||
  { echo "test-windows: the Windows build failed under Wine:" >&2; tail -n 20 "$build/wine-stderr.txt" >&2; exit 1; }
echo "test-windows: Wine run took $(($(date +%s) - start)) s (prefix set-up included)"

"$venv/bin/python" tools/digest/compare.py "$build/native.txt" "$build/windows.txt"
