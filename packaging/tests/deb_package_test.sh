#!/usr/bin/env bash
# Builds the Debian package from a build folder with cpack and checks it: it holds what
# "cmake --install" installs, under /usr; every program has its manual page; documents are
# compressed as Debian wants them; programs and libraries are stripped; the control fields are
# right and Depends names the package of every shared library that its objects need; and, when
# lintian is installed, lintian reports no error.
#   deb_package_test.sh BUILD_DIR VERSION
# Every pipe reads its input to the end: with pipefail, a writer ended by SIGPIPE would end the
# test without a word.
set -euo pipefail
build=$1 version=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/probes-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "deb_package_test: $*" >&2
  failures=$((failures + 1))
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || {
  cat "$work/cpack.log" >&2
  echo "deb_package_test: cpack failed" >&2
  exit 1
}
mapfile -t debs < <(find "$work/out" -maxdepth 1 -name '*.deb')
[ "${#debs[@]}" = 1 ] || { echo "deb_package_test: cpack made ${#debs[@]} packages" >&2; exit 1; }
deb=${debs[0]}
echo "deb_package_test: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# The files of the package, and those of a plain installation with the same prefix.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "/", $6); print $6 }' | sort >"$work/packaged"
cmake --install "$build" --prefix "$work/plain/usr" >/dev/null
(cd "$work/plain" && find . ! -type d | sed 's|^\.||' | sort) >"$work/installed"
diff "$work/installed" "$work/packaged" >"$work/difference" ||
  fail "the package does not hold what cmake --install installs (< installed, > packaged):
$(cat "$work/difference")"

dpkg-deb -x "$deb" "$work/root"
root=$work/root

for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  [ -f "$root/usr/share/man/man1/$name.1.gz" ] || fail "$name has no manual page"
done
for document in copyright changelog.gz README.md samples/request.xml; do
  [ -f "$root/usr/share/doc/probes/$document" ] || fail "no /usr/share/doc/probes/$document"
done
[ -f "$root/usr/share/bash-completion/completions/rvqm" ] || fail "no bash completion for rvqm"

# gzip -9n: no file name and no time stamp in the header (bytes 3 and 4..7).
while read -r gz; do
  header=$(od -An -tu1 -j3 -N5 "$gz" | tr -s ' ' | sed 's/^ //')
  flags=${header%% *}
  [ $((flags & 8)) = 0 ] && [ "${header#* }" = "0 0 0 0" ] ||
    fail "${gz#"$root"} was compressed with its name or time stamp"
done < <(find "$root/usr/share" -name '*.gz')
while read -r page; do
  fail "${page#"$root"} is not compressed"
done < <(find "$root/usr/share/man" -type f ! -name '*.gz')

# Stripped: no symbol table and no debugging sections in any object.
mapfile -t objects < <(find "$root/usr" -type f -exec sh -c 'head -c4 "$1" | grep -q "ELF"' sh {} \; -print)
[ "${#objects[@]}" -ge 6 ] || fail "only ${#objects[@]} programs and libraries in the package"
for object in "${objects[@]}"; do
  if readelf -S -W "$object" | grep -qE ' \.(symtab|debug_[a-z]+) '; then
    fail "${object#"$root"} is not stripped"
  fi
done

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = probes ] || fail "Package is \"$(field Package)\""
[ "$(field Version)" = "$version" ] || fail "Version is \"$(field Version)\", not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
  fail "Architecture is \"$(field Architecture)\""
for name in Maintainer Description Section Priority Installed-Size; do
  [ -n "$(field "$name")" ] || fail "no $name field"
done
top=$(zcat "$root/usr/share/doc/probes/changelog.gz" | sed -n 1p)
[[ $top == "probes ($version) "* ]] || fail "the changelog starts with \"$top\", not version $version"

# Depends names the package of each library that the objects need and the package lacks.
depends=$(field Depends)
for library in $(for object in "${objects[@]}"; do
  readelf -d "$object" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
done | sort -u); do
  [ -e "$root/usr/lib/$library" ] && continue
  path=$(ldconfig -p | awk -v l="$library" '$1 == l && path == "" { path = $NF } END { print path }')
  [ -n "$path" ] || { fail "no $library on this machine"; continue; }
  # The library as dpkg knows it: with or without /usr in front (a merged /usr), or its target.
  owner=
  for candidate in "$path" "/usr$path" "${path#/usr}" "$(readlink -f "$path")"; do
    owner=$(dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p') && [ -n "$owner" ] && break
  done
  [ -n "$owner" ] || { fail "no package holds $path"; continue; }
  [[ ", $depends," == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
    fail "$library comes from $owner, which Depends ($depends) does not name"
done
# ICU is loaded when a tool first converts, so no object names it; Depends must.
[[ ", $depends," == *", libicu"[0-9]* ]] || fail "Depends ($depends) does not name libicu"

if command -v lintian >/dev/null; then
  if ! lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1; then
    fail "lintian reports errors:"
  fi
  cat "$work/lintian"
else
  echo "deb_package_test: lintian is not installed; its check was left out"
fi

[ "$failures" = 0 ] || exit 1
echo "deb_package_test: all checks passed"
