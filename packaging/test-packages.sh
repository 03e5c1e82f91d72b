#!/usr/bin/env bash
# test-packages.sh - builds the packages of release builds with cpack and
# checks what a user gets out of them.
#
#   packaging/test-packages.sh [--web WEB_BUILD_DIR] [NATIVE_RELEASE_BUILD_DIR
#       [WINDOWS_RELEASE_BUILD_DIR [WINDOWS_X86_RELEASE_BUILD_DIR]]]
#
# Linux: the .deb is unpacked into a scratch root with dpkg -x and its
# setuphdr is run (no arguments: exit 1 and the usage text; "d" on the build's
# sample.000: exit 0 and the report); the control fields, the man page and
# the licence are checked, and the .tar.gz must carry the same binary and
# man page. Windows: the .zip of the 64-bit build must hold x64/setuphdr.exe,
# README.md and LICENSE, and x86/setuphdr.exe when the 32-bit build is given
# (the 64-bit build is then configured to take it); each .exe must import
# only system DLLs and carry its version and manifest, and is run once under
# Wine (the 32-bit one with the 32-bit loader), in its build's Wine prefix,
# through the build's test launcher (tests/e2e/wine_start.py: a start that
# Wine fails before the program runs is made again).
# Web (a build of scripts/build-web.sh): setuphdr-web-VERSION.zip must hold
# the built page and nothing else, in a folder of its name, under 400 KiB
# and gzipped under 200 KiB, with its .sha256 beside it.
#
# Prints one line per check and "N passed, N failed" last; exits non-zero
# when a check failed.
set -uo pipefail

usage() {
  echo "usage: $0 [--web WEB_BUILD_DIR] [NATIVE_RELEASE_BUILD_DIR [WINDOWS_RELEASE_BUILD_DIR [WINDOWS_X86_RELEASE_BUILD_DIR]]]" >&2
  exit 2
}
web_dir=
if [ "${1:-}" = --web ]; then
  [ $# -ge 2 ] || usage
  web_dir=$(cd "$2" 2>/dev/null && pwd) || { echo "error: no directory $2" >&2; exit 2; }
  shift 2
fi
[ $# -le 3 ] && { [ $# -ge 1 ] || [ -n "$web_dir" ]; } || usage

native_dir=
if [ $# -ge 1 ]; then
  native_dir=$(cd "$1" 2>/dev/null && pwd) || { echo "error: no directory $1" >&2; exit 2; }
fi
windows_dir=
x86_dir=
if [ $# -ge 2 ]; then
  windows_dir=$(cd "$2" 2>/dev/null && pwd) || { echo "error: no directory $2" >&2; exit 2; }
fi
if [ $# -eq 3 ]; then
  x86_dir=$(cd "$3" 2>/dev/null && pwd) || { echo "error: no directory $3" >&2; exit 2; }
fi

wine=${WINE:-/usr/lib/wine/wine64}
wine32=${WINE32:-/usr/lib/wine/wine}
here=$(cd "$(dirname "$0")" && pwd)
export WINEDEBUG=-all

passed=0
failed=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/setuphdr-packages.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# check NAME COMMAND... : runs the command quietly and counts the result.
check() {
  local name=$1
  shift
  if "$@" >"$scratch/check.log" 2>&1; then
    passed=$((passed + 1))
    echo "PASS  $name"
  else
    failed=$((failed + 1))
    echo "FAIL  $name"
    sed 's/^/      /' "$scratch/check.log" | head -20
  fi
}

# finish : prints the totals and exits with their verdict.
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

# cache_value DIR NAME : a variable of the build's CMakeCache.txt.
cache_value() {
  sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# build_and_pack DIR : brings the build up to date and runs cpack in it,
# leaving only fresh packages in DIR/packages.
build_and_pack() {
  local dir=$1
  rm -f "$dir"/packages/*.deb "$dir"/packages/*.tar.gz "$dir"/packages/*.zip \
        "$dir"/packages/*.sha256
  cmake --build "$dir" -j"$(nproc)" && (cd "$dir" && cpack)
}

# one_file PATTERN : prints the single file matching PATTERN, or fails.
one_file() {
  local matches=()
  local file
  for file in $1; do [ -e "$file" ] && matches+=("$file"); done
  if [ ${#matches[@]} -ne 1 ]; then
    echo "expected one file for $1, found ${#matches[@]}" >&2
    return 1
  fi
  echo "${matches[0]}"
}

# expect_run EXPECTED_CODE STDOUT_FILE COMMAND... : runs the command with its
# output into STDOUT_FILE and compares the exit code.
expect_run() {
  local expected=$1 out=$2
  shift 2
  "$@" >"$out" 2>"$out.err"
  local code=$?
  if [ "$code" -ne "$expected" ]; then
    echo "exit code $code, expected $expected"
    echo "stderr:"; cat "$out.err"
    return 1
  fi
}

# The first lines of the usage text, CR LF line ends included.
usage_head() {
  local version=$1
  printf '\n'
  printf 'setuphdr %s Copyright (c) 2026 the setuphdr authors\n' "$version"
  printf '\n'
  printf 'Command line: <action> [<options>] <MSCE file>\n'
}

# same_head FILE EXPECTED_FILE : FILE begins with the lines of EXPECTED_FILE.
same_head() {
  local lines
  lines=$(wc -l <"$2")
  diff -u "$2" <(head -n "$lines" "$1")
}

# ------------------------------------------------------------------ Web
if [ -n "$web_dir" ]; then
  web_version=$(cache_value "$web_dir" CMAKE_PROJECT_VERSION)
  check "cpack builds the web package" build_and_pack "$web_dir"
  web_zip=$(one_file "$web_dir/packages/setuphdr-web-$web_version.zip") || web_zip=
  check "one setuphdr-web-$web_version.zip" test -n "$web_zip"
  if [ -n "$web_zip" ]; then
    check "its .sha256 holds" bash -c \
      "cd '$web_dir/packages' && sha256sum -c --quiet '$(basename "$web_zip").sha256'"
    mkdir -p "$scratch/web-root"
    unzip -q "$web_zip" -d "$scratch/web-root"
    web_top=$scratch/web-root/setuphdr-web-$web_version
    check ".zip holds the page in setuphdr-web-$web_version/" \
      test -f "$web_top/index.html"
    check ".zip holds the built page and nothing else" \
      diff -r "$web_dir/page" "$web_top"
    check "the page is under 400 KiB, gzipped under 200 KiB" bash -c \
      "total=0 packed=0
       for file in '$web_top'/*; do
         total=\$((total + \$(stat -c %s \"\$file\")))
         packed=\$((packed + \$(gzip -9 -n -c \"\$file\" | wc -c)))
       done
       echo \"\$total bytes, gzipped \$packed bytes\"
       [ \$total -lt 409600 ] && [ \$packed -lt 204800 ]"
  fi
  [ -n "$native_dir" ] || finish
fi

# ---------------------------------------------------------------- Linux
version=$(cache_value "$native_dir" CMAKE_PROJECT_VERSION)
[ -n "$version" ] || version=1.0.0.210
if [ "$(cache_value "$native_dir" CMAKE_BUILD_TYPE)" != Release ]; then
  echo "note: $native_dir is not a Release build"
fi

check "cpack builds the Linux packages" build_and_pack "$native_dir"
deb=$(one_file "$native_dir/packages/*.deb") || deb=
tgz=$(one_file "$native_dir/packages/*.tar.gz") || tgz=
check "one .deb and one .tar.gz" test -n "$deb" -a -n "$tgz"
if [ -z "$deb" ] || [ -z "$tgz" ]; then finish; fi

root=$scratch/deb-root
check ".deb unpacks with dpkg -x" dpkg -x "$deb" "$root"
bin=$root/usr/bin/setuphdr
# The usage text is one message: LF inside, CR LF only after its last line.
usage_head "$version" >"$scratch/usage.expected"

check "packaged setuphdr is an executable" test -x "$bin"
check "no arguments: exit code 1" expect_run 1 "$scratch/usage.out" "$bin"
check "no arguments: usage text first lines" same_head "$scratch/usage.out" "$scratch/usage.expected"
check "no arguments: nothing on stderr" test ! -s "$scratch/usage.out.err"

sample=$native_dir/sample.000
check "build has sample.000" test -f "$sample"
cp "$sample" "$scratch/sample.000" 2>/dev/null
check "d sample.000: exit code 0" expect_run 0 "$scratch/display.out" "$bin" d "$scratch/sample.000"
check "d sample.000: architecture line" grep -qx $'Architecture: 2577 (StrongARM)\r' "$scratch/display.out"
check "d sample.000: nothing on stderr" test ! -s "$scratch/display.out.err"

check ".deb Package is setuphdr" test "$(dpkg-deb -f "$deb" Package)" = setuphdr
check ".deb Version is $version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
check ".deb Maintainer" test "$(dpkg-deb -f "$deb" Maintainer)" = "setuphdr authors"
check ".deb Architecture is dpkg's" \
  test "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)"
if [ "$(cache_value "$native_dir" SETUPHDR_STATIC)" != OFF ]; then
  check ".deb static binary has no dependencies" \
    test -z "$(dpkg-deb -f "$deb" Depends)"
  check "packaged binary is static" \
    bash -c "! readelf -l '$bin' | grep -q 'Requesting program interpreter'"
fi
check "packaged binary is stripped" bash -c "! readelf -S '$bin' | grep -q '\.symtab'"

man_in_deb=$(cd "$root" && ls usr/share/man/man1/setuphdr.1* 2>/dev/null | head -1)
check ".deb has the man page in share/man/man1" test -n "$man_in_deb"
if [ -n "$man_in_deb" ]; then
  check "man page names the tool and the exit codes" bash -c \
    "zcat -f '$root/$man_in_deb' | grep -q '^setuphdr \\\\- ' &&
     zcat -f '$root/$man_in_deb' | grep -q '^\.B 233'"
fi
check ".deb has the licence" test -f "$root/usr/share/doc/setuphdr/LICENSE"

tgz_list=$scratch/tgz.list
tar -tzf "$tgz" >"$tgz_list" 2>/dev/null
check ".tar.gz has bin/setuphdr" grep -q '/bin/setuphdr$' "$tgz_list"
check ".tar.gz has the man page" grep -q '/share/man/man1/setuphdr\.1' "$tgz_list"
check ".tar.gz has the licence" grep -q '/LICENSE$' "$tgz_list"
mkdir -p "$scratch/tgz-root"
tar -xzf "$tgz" -C "$scratch/tgz-root" 2>/dev/null
check ".tar.gz binary equals the .deb binary" \
  cmp "$bin" "$(one_file "$scratch/tgz-root/*/bin/setuphdr")"

# -------------------------------------------------------------- Windows
# check_exe NAME EXE ARCH LOADER BUILD_DIR : the checks of one packaged .exe;
# BUILD_DIR gives the Wine prefix and the test launcher.
check_exe() {
  local name=$1 exe=$2 arch=$3 loader=$4 build=$5
  local prefix launcher=$build/tests/win/setuphdr-launch.exe
  prefix=$(cache_value "$build" SETUPHDR_WINEPREFIX)
  check ".zip unpacks $name" test -f "$exe"
  [ -f "$exe" ] || return 0
  # Nothing to install beside the .exe: it imports only system DLLs.
  check "$name imports only KERNEL32, MSVCRT, SHLWAPI, USER32" \
    python3 "$here/../tests/e2e/check_imports.py" \
      --objdump x86_64-w64-mingw32-objdump "$exe"
  check "$name carries its version and manifest" \
    python3 "$here/../tests/e2e/check_resources.py" \
      --version "$version" --machine "$arch" "$exe"
  check "$name: the build has its test launcher and a Wine prefix" \
    test -f "$launcher" -a -n "$prefix"
  if [ -x "$loader" ]; then
    # One run under Wine: the report of the sample, from the sample's folder.
    check "$name under Wine: d sample.000 exit code 0" \
      expect_run 0 "$scratch/wine.out" env WINEPREFIX="$prefix" \
      python3 "$here/../tests/e2e/wine_start.py" --wine "$loader" \
      --launcher "$launcher" --cwd "$scratch/zip-root" -- "$exe" d sample.000
    check "$name under Wine: architecture line" \
      grep -qx $'Architecture: 2577 (StrongARM)\r' "$scratch/wine.out"
  else
    check "Wine is installed at $loader" test -x "$loader"
  fi
}

if [ -n "$windows_dir" ]; then
  if [ -n "$x86_dir" ]; then
    # The 64-bit build's .zip takes the 32-bit build's .exe; cpack does not
    # build that tree, so it is brought up to date here.
    check "the 32-bit Windows build is up to date" \
      cmake --build "$x86_dir" -j"$(nproc)"
    check "the 64-bit build packs the 32-bit build's .exe" \
      cmake -DSETUPHDR_PACKAGE_X86_BUILD="$x86_dir" "$windows_dir"
  fi
  check "cpack builds the Windows package" build_and_pack "$windows_dir"
  zip=$(one_file "$windows_dir/packages/*.zip") || zip=
  check "one .zip" test -n "$zip"
  if [ -z "$zip" ]; then finish; fi

  zip_list=$scratch/zip.list
  unzip -Z1 "$zip" >"$zip_list" 2>/dev/null
  check ".zip has x64/setuphdr.exe" grep -q '/x64/setuphdr\.exe$' "$zip_list"
  check ".zip has README.md" grep -q '^[^/]*/README\.md$' "$zip_list"
  check ".zip has LICENSE" grep -q '^[^/]*/LICENSE$' "$zip_list"
  if [ -n "$x86_dir" ]; then
    check ".zip has x86/setuphdr.exe" grep -q '/x86/setuphdr\.exe$' "$zip_list"
    check ".zip has no other file" test "$(grep -vc '/$' "$zip_list")" -eq 4
  fi

  mkdir -p "$scratch/zip-root"
  unzip -q "$zip" -d "$scratch/zip-root"
  cp "$scratch/sample.000" "$scratch/zip-root/sample.000"
  top=$(find "$scratch/zip-root" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  check_exe x64/setuphdr.exe "$top/x64/setuphdr.exe" x64 "$wine" \
    "$windows_dir"
  if [ -n "$x86_dir" ]; then
    check_exe x86/setuphdr.exe "$top/x86/setuphdr.exe" x86 "$wine32" \
      "$x86_dir"
  fi
fi

finish
