#!/usr/bin/env bash
# check-format.sh passes a file that follows .clang-format and names one that does not.
#   check_format_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1

work=$(mktemp -d "${TMPDIR:-/tmp}/check-format.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$source_dir/.clang-format" "$work/"
printf 'int  Twice( int x ){return 2*x ;}\n' >"$work/bad.cpp"
formatter=$(command -v clang-format-14 || command -v clang-format)
"$formatter" --style=file "$work/bad.cpp" >"$work/good.cpp"

bash "$source_dir/scripts/check-format.sh" "$work/good.cpp" ||
  { echo "check_format_test: a formatted file was refused" >&2; exit 1; }
if bash "$source_dir/scripts/check-format.sh" "$work/good.cpp" "$work/bad.cpp" 2>"$work/err"; then
  echo "check_format_test: an unformatted file passed" >&2
  exit 1
fi
grep -q 'bad.cpp' "$work/err" && ! grep -q 'good.cpp' "$work/err" ||
  { echo "check_format_test: the report does not name just bad.cpp:" >&2; cat "$work/err" >&2; exit 1; }
echo "check_format_test: passed"
