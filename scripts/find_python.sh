#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given version (e.g. 3.13)
# that can create virtual environments: one on PATH, one that pyenv keeps, or
# one installed from the system's packages when neither is there.
set -euo pipefail

version="${1:?usage: find_python.sh MAJOR.MINOR}"
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"

usable() {
  [ -x "$1" ] && "$1" -c "import sys, venv, ensurepip
assert '%d.%d' % sys.version_info[:2] == '$version'" >/dev/null 2>&1
}

candidates() {
  command -v "python$version" || true  # a pyenv shim fails the check unless selected
  ls -d "$pyenv_root"/versions/"$version".*/bin/"python$version" 2>/dev/null | sort -V -r || true
  echo "/usr/bin/python$version"
}

for candidate in $(candidates); do
  if usable "$candidate"; then echo "$candidate"; exit 0; fi
done

# Debian 13 and Ubuntu 24.04 package it; the -venv package brings ensurepip.
if command -v apt-get >/dev/null; then
  apt-get update -qq >&2
  if apt-get install -y -qq "python$version" "python$version-venv" "python$version-dev" >&2; then
    if usable "/usr/bin/python$version"; then echo "/usr/bin/python$version"; exit 0; fi
  fi
fi
echo "find_python.sh: no Python $version here, and none could be installed" >&2
exit 1
