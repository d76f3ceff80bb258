#!/usr/bin/env bash
# Fails when a C or C++ file does not follow .clang-format, and names the files that do not:
# by default every tracked .c, .h and .cpp file of the repository, else the files given.
# "clang-format-14 -i FILE" formats a file in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

formatter=$(command -v clang-format-14 || command -v clang-format) || {
  echo "check-format: clang-format is not installed (apt-get install clang-format-14)" >&2
  exit 1
}
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git -C "$root" ls-files --full-name '*.c' '*.h' '*.cpp' | sed "s|^|$root/|")
fi
[ "${#files[@]}" -gt 0 ] || { echo "check-format: no files to check" >&2; exit 1; }

# One run over all files; each place that differs is reported as FILE:LINE:COLUMN: error: ...
report=$("$formatter" --style=file --dry-run -Werror "${files[@]}" 2>&1) && exit 0
mapfile -t unformatted < <(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: .*-Wclang-format-violations.*/\1/p' <<<"$report" | sort -u)
if [ "${#unformatted[@]}" -eq 0 ]; then
  echo "$report" >&2
  echo "check-format: $formatter failed" >&2
  exit 1
fi
echo "check-format: ${#unformatted[@]} of ${#files[@]} files do not follow .clang-format ($(basename "$formatter") -i FILE formats one):" >&2
printf '  %s\n' "${unformatted[@]#"$root/"}" >&2
exit 1
