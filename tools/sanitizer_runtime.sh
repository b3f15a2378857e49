#!/bin/sh
# Prints the sanitizer runtime libraries to preload into the interpreter for
# a build made with KELVARA_SANITIZE=ON: those of the compiler that CMake
# used for that build (read from its CMakeCache.txt), not whichever compiler
# is first on PATH. GCC ships libasan and libubsan; Clang one ASan runtime
# that includes the UBSan handlers.
#
#   tools/sanitizer_runtime.sh BUILD_DIR
set -eu
cache="$1/CMakeCache.txt"
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
id=$(sed -n 's/^CMAKE_CXX_COMPILER_ID:[A-Z]*=//p' "$cache")
[ -n "$cxx" ] || { echo "no CMAKE_CXX_COMPILER in $cache" >&2; exit 1; }
if "$cxx" --version 2>/dev/null | grep -qi clang; then
  libs="libclang_rt.asan-$(uname -m).so"
else
  libs="libasan.so libubsan.so"
fi
out=""
for lib in $libs; do
  path=$("$cxx" -print-file-name="$lib")
  # A compiler that does not know the library echoes its bare name back.
  [ -f "$path" ] || { echo "$cxx has no $lib (compiler id ${id:-unknown})" >&2; exit 1; }
  out="$out${out:+ }$path"
done
echo "$out"
