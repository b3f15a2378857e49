#!/usr/bin/env bash
# Installs the wheel in dist/ into a fresh virtual environment of each given
# CPython version and runs the test suite against the installed module.
#
#   tools/wheel/test_wheel.sh 3.10 3.12 3.13
#
# An interpreter is found as pythonX.Y on the PATH or under pyenv's
# versions; a version that cannot be found is an error. The suite runs from
# a scratch folder, so the installed wheel, not a build in the source tree,
# is what it imports.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

shopt -s nullglob
wheels=(dist/kelvara-*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "test-wheel: expected one wheel in dist/, found ${#wheels[@]} (run make wheel)" >&2; exit 1; }
wheel=$root/${wheels[0]}

find_python() {
  local version=$1 candidate
  for candidate in "python$version" $(command -v pyenv >/dev/null 2>&1 && echo "$(pyenv root)"/versions/"$version".*/bin/python"$version"); do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c "" >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvara-wheel.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

for version in "$@"; do
  python=$(find_python "$version") || { echo "test-wheel: no CPython $version found" >&2; exit 1; }
  venv=$scratch/venv-$version
  echo "== $("$python" --version) from $python"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel[test]"
  (cd "$scratch" && "$venv/bin/python" -c "import kelvara, sys; print('kelvara from', kelvara.__file__)" &&
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")
done
