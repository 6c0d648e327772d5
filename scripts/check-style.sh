#!/bin/sh
# The style checks of `make test`, with Debian's clang-format and clang-tidy:
#   - every C++ file under PATHS is formatted as .clang-format says;
#   - every one of them that BUILD_DIR compiled (and the headers it includes)
#     follows the naming convention of .clang-tidy;
#   - no free function is named like the system call it stands beside.
# Usage: scripts/check-style.sh BUILD_DIR [PATHS]
#   PATHS is an extended regular expression of top-level folders, by default
#   '(src|plugins|tests|fuzz|bench)'; the fuzz build passes 'fuzz'.
set -u
cd "$(dirname "$0")/.."
build=$1
paths=${2:-'(src|plugins|tests|fuzz|bench)'}
root=$(pwd)
status=0

files=$(git ls-files '*.cc' '*.h' | grep -E "^$paths/")

echo "== clang-format"
# shellcheck disable=SC2086
if ! clang-format --dry-run --Werror $files; then
  echo "Some files are not formatted: run 'make format'."
  status=1
fi

echo "== no free function named like a system call"
# Namespace contents are not indented, so a free function's declaration starts
# at the beginning of its line; members are indented and may use these names.
# shellcheck disable=SC2086
if grep -nE '^[A-Za-z].*[ *&](close|read|write|free|init)\(' $files; then
  echo "Free functions above are named like system calls: give them a name that says what they do."
  status=1
fi

echo "== clang-tidy (naming) over what $build compiled"
if [ ! -f "$build/compile_commands.json" ]; then
  echo "$build/compile_commands.json is missing: configure $build first."
  exit 1
fi
if ! run-clang-tidy -quiet -j "${STYLE_JOBS:-2}" -p "$build" "^$root/$paths/" >"$build/clang-tidy.log" 2>&1; then
  escape=$(printf '\033')
  sed "s/$escape\[[0-9;]*m//g" "$build/clang-tidy.log" | grep -E 'error:|warning:' | sort -u
  echo "The names above break the convention (README, Contributing); the whole log is $build/clang-tidy.log."
  status=1
fi
[ "$status" -eq 0 ] && echo "Style checks passed."
exit "$status"
