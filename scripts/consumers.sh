#!/usr/bin/env bash
# Proves that velk32 can be installed and used the ways docs/install.md
# describes, each by a small program outside the source tree that sends
# bytes and checks that they come back unchanged:
#   - cmake --install into a prefix (then moved elsewhere: nothing may name
#     the build or the first prefix); a CMake project using find_package and
#     a C program built with pkg-config, both against that prefix; a CMake
#     project that builds velk32 inside its own build (FetchContent);
#   - the Python sample (ctypes) and the C# sample (Mono, DllImport("velk32"))
#     against the installed libvelk32.so.2;
#   - the .deb: lintian (no errors), dpkg -i, a pkg-config build, the Python
#     and C# samples against the system library, dpkg -P, nothing left;
#   - each Windows zip: its contents, then a MinGW C program built from the
#     unpacked zip alone (with gcc, and with CMake through the zip's CMake
#     package), run under Wine with COM1 and COM2 joined by a socat pty pair
#     (32-bit only where this machine runs 32-bit programs and the 32-bit
#     Wine could be installed).
# Ends with one line per check: PASS, FAIL or SKIP (with the reason: a check
# whose tool, such as Wine, Mono or lintian, cannot be installed is skipped
# with apt's reason); exits 1 if any check failed.
#
# Usage: scripts/consumers.sh [--linux DIR] [--win-i686 DIR] [--win-x86_64 DIR]
# Each DIR is a configured build folder (brought up to date here); without
# one, the folder is build/consumers/<name>, configured and built here. The
# Linux folder should be configured with -DCMAKE_INSTALL_PREFIX=/usr so that
# the .deb has the multiarch library folder. The .deb checks need root and no
# velk32 package installed already; otherwise they are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=2

linux_dir="" win_i686_dir="" win_x86_64_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --linux) linux_dir=$2; shift 2 ;;
    --win-i686) win_i686_dir=$2; shift 2 ;;
    --win-x86_64) win_x86_64_dir=$2; shift 2 ;;
    *) echo "usage: $0 [--linux DIR] [--win-i686 DIR] [--win-x86_64 DIR]" >&2; exit 2 ;;
  esac
done

# What the builds and the zips need; then the tools of single checks: a check
# whose tool cannot be installed is SKIP with apt's reason.
bash scripts/deps.sh build-essential cmake pkgconf help2man doxygen man-db file python3 \
  unzip socat g++-mingw-w64 mingw-w64-i686-dev mingw-w64-x86-64-dev binutils-mingw-w64-i686 \
  binutils-mingw-w64-x86-64 llvm-14
. scripts/optional-deps.sh
want lintian mono-mcs mono-runtime wine wine64 wine32:i386

work=$(mktemp -d "${TMPDIR:-/tmp}/velk-consumers.XXXXXX")
results=()
deb_installed=0
cleanup() {
  local rc=$?
  if [ "$deb_installed" = 1 ]; then
    dpkg -P velk32 >/dev/null 2>&1 || true
  fi
  if [ -n "${VELK_WINEPREFIX:-}" ]; then
    bash scripts/wine-cleanup.sh "$VELK_WINEPREFIX"
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT

pass() { results+=("PASS  $1"); echo "PASS: $1"; }
fail() { results+=("FAIL  $1${2:+: $2}"); echo "FAIL: $1${2:+: $2}" >&2; }
skip() {
  results+=("SKIP  $1: $2"); echo "SKIP: $1: $2"
  # For the closing summary of scripts/test-all.sh.
  [ -n "${VELK_NOT_RUN_LOG:-}" ] && echo "packages: $1: $2" >>"$VELK_NOT_RUN_LOG"
  return 0
}
# check NAME COMMAND...: runs one check, bounded in time (CHECK_TIMEOUT
# seconds, 300 by default: some checks build), its output kept in a log
# that is shown when it fails.
check() {
  local name=$1; shift
  local log=$work/$(echo "$name" | tr -c 'A-Za-z0-9\n' '_').log
  if timeout -k 10 "${CHECK_TIMEOUT:-300}" "$@" >"$log" 2>&1; then
    pass "$name"
    sed 's/^/    /' "$log" | tail -n "${CHECK_SHOW:-3}"
  else
    fail "$name" "exit $?"
    tail -n 30 "$log" >&2
  fi
}

# build NAME DIR [CMAKE ARGS...]: configures DIR (only when not yet) and builds it.
build() {
  local name=$1 dir=$2; shift 2
  echo "== building $name in $dir"
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_TESTS=OFF "$@" >/dev/null
  fi
  cmake --build "$dir" -j"$jobs" >"$work/build-$name.log" 2>&1 || {
    tail -n 40 "$work/build-$name.log" >&2
    return 1
  }
}

# ---- Linux: install into a prefix, then the consumers ---------------------
linux_dir=${linux_dir:-build/consumers/linux}
build linux "$linux_dir" -DCMAKE_INSTALL_PREFIX=/usr
linux_dir=$(cd "$linux_dir" && pwd)

echo "== cmake --install"
cmake --install "$linux_dir" --prefix "$work/stage" --strip >"$work/install.log"
mv "$work/stage" "$work/prefix"
prefix=$work/prefix
lib=$(dirname "$(find "$prefix" -name 'libvelk32.so.2' | head -n 1)")
check "install: the files" bash -c '
  set -e; cd "$1"; l=${2#$1/}
  for f in "$l/libvelk32.so.2.0" "$l/libvelk32.so.2" "$l/libvelk32.so" include/velk32.h \
      include/velk32_posix.h bin/velkcom share/man/man1/velkcom.1.gz "$l/pkgconfig/velk32.pc" \
      "$l/cmake/velk32/velk32-config.cmake" "$l/cmake/velk32/velk32-config-version.cmake" \
      share/man/man3/velk32.3.gz share/man/man3/SioReset.3.gz share/man/man3/SIO_WIN_ERROR.3.gz \
      share/doc/velk32/html/index.html share/doc/velk32/posix.md; do
    test -e "$f" || { echo "missing: $f"; exit 1; }
  done
  [ "$(readlink "$l/libvelk32.so")" = libvelk32.so.2 ]
  objdump -p "$l/libvelk32.so.2.0" | grep -E "SONAME +libvelk32[.]so[.]2$"
  file -L "$l/libvelk32.so.2.0" bin/velkcom | grep -c ", stripped" | grep -qx 2
  zcat share/man/man1/velkcom.1.gz | grep -q "^[.]SH NAME"
  # man finds the reference in the tree by name: a function, a constant.
  man -M share/man -w SioReset | grep -q "share/man/man3/SioReset[.]3[.]gz$"
  MANWIDTH=80 man -M share/man SIO_WIN_ERROR 2>/dev/null | grep -q "SIO_WIN_ERROR"
  echo "library, headers, velkcom, man pages ($(ls share/man/man3 | wc -l) in man3), HTML, CMake package, velk32.pc; binaries stripped"' \
  _ "$prefix" "$lib"
# Nothing installed names the source tree, the build folder or the prefix the
# tree was first installed to.
check "install: no build or install paths in the installed files" bash -c '
  ! grep -rlF -e "$2" -e "$3" -e "$4" "$1"' _ "$prefix" "$root" "$linux_dir" "$work/stage"
check "install: velkcom selftest on loop://" env LD_LIBRARY_PATH="$lib" "$prefix/bin/velkcom" selftest

echo "== find_package consumer"
check "find_package(velk32 2.0) consumer builds and runs" bash -c '
  set -e
  cmake -S examples/c -B "$1/find_package" -DCMAKE_PREFIX_PATH="$2" >/dev/null
  cmake --build "$1/find_package" >/dev/null
  "$1/find_package/loopback"' _ "$work" "$prefix"

# The same target when velk32 is built as part of the consumer's own build.
CHECK_TIMEOUT=900 check "FetchContent consumer (velk32 built inside the project) builds and runs" bash -c '
  set -e
  cmake -S tests/consumers/fetchcontent -B "$1/fetchcontent" -DVELK32_SOURCE_DIR="$2" >/dev/null
  cmake --build "$1/fetchcontent" -j2 >/dev/null
  "$1/fetchcontent/loopback"' _ "$work" "$root"

echo "== pkg-config consumer"
check "pkg-config consumer builds and runs" bash -c '
  set -e
  export PKG_CONFIG_PATH=$2/pkgconfig
  cc -std=c99 -Wall -Wextra -Werror examples/c/loopback.c $(pkg-config --cflags --libs velk32) \
    -o "$1/pc_loopback"
  LD_LIBRARY_PATH=$2 "$1/pc_loopback"' _ "$work" "$lib"

echo "== Python and C# samples against the installed library"
check "Python sample (ctypes.CDLL) on the installed libvelk32.so.2" \
  python3 examples/python/loopback.py "$lib/libvelk32.so.2"
if mono_missing=$(lacking mono-mcs mono-runtime); then
  skip "C# sample (Mono) on the installed library and from the .deb" "$mono_missing"
else
  mcs -out:"$work/Loopback.exe" examples/csharp/Loopback.cs >"$work/mcs.log" 2>&1 \
    || { cat "$work/mcs.log" >&2; fail "C# sample compiles with mcs"; }
fi
if [ -f "$work/Loopback.exe" ]; then
  # Mono turns DllImport("velk32") into libvelk32.so, looked for on the
  # library path; its log names the file it loaded.
  check "C# sample (Mono, DllImport velk32 -> libvelk32.so via LD_LIBRARY_PATH)" bash -c '
    set -e
    LD_LIBRARY_PATH=$2 MONO_LOG_LEVEL=debug MONO_LOG_MASK=dll mono "$1/Loopback.exe" >"$1/mono.out" 2>&1 \
      || { cat "$1/mono.out"; exit 1; }
    grep -E "DllImport loaded library .*libvelk32[.]so" "$1/mono.out"
    grep -v "^Mono:" "$1/mono.out"' _ "$work" "$lib"
  # Or a dllmap beside the program names the library file itself.
  check "C# sample (Mono, dllmap velk32 -> libvelk32.so.2 by full path)" bash -c '
    set -e
    mkdir -p "$1/dllmap"; cp "$1/Loopback.exe" "$1/dllmap/"
    printf "<configuration>\n  <dllmap dll=\"velk32\" target=\"%s\"/>\n</configuration>\n" \
      "$2/libvelk32.so.2" >"$1/dllmap/Loopback.exe.config"
    mono "$1/dllmap/Loopback.exe"' _ "$work" "$lib"
fi

# ---- Linux: the packages ---------------------------------------------------
echo "== cpack (DEB, TGZ)"
rm -rf "$linux_dir/packages"
(cd "$linux_dir" && cpack -G "DEB;TGZ" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$linux_dir"/packages/velk32_*.deb)
tgz=$(ls "$linux_dir"/packages/velk32-*-linux-*.tar.gz)
echo "$(basename "$deb"), $(basename "$tgz")"
check "tar.gz: the install tree" bash -c '
  tar tzf "$1" | grep -E "/(libvelk32[.]so[.]2[.]0|velk32[.]h|velkcom|velk32[.]pc|velk32-config[.]cmake)$" \
    | wc -l | grep -qx 5' _ "$tgz"
if why=$(lacking lintian); then skip "deb: lintian finds no errors" "$why"; else
CHECK_SHOW=20 check "deb: lintian finds no errors" bash -c '
  out=$(lintian --pedantic "$1" 2>&1 | grep -v "^running with root")
  echo "${out:-no tags}"
  ! echo "$out" | grep -q "^E:"' _ "$deb"
fi
check "deb: dependencies from the binaries" bash -c '
  dpkg-deb -f "$1" Depends | tee /dev/stderr | grep -q "libc6 (>="' _ "$deb"

if [ "$(id -u)" != 0 ]; then
  skip "deb: install, consumers, removal" "needs root for dpkg -i"
elif dpkg-query -W -f='${Status}' velk32 2>/dev/null | grep -q "ok installed"; then
  skip "deb: install, consumers, removal" "a velk32 package is installed already"
else
  # One package install at a time on this machine: the lock is dpkg's own
  # folder (nothing is left behind).
  exec 9</var/lib/dpkg
  flock -w 600 9
  echo "== dpkg -i $(basename "$deb")"
  # dpkg waits for no lock of its own: retry while another install holds it.
  for attempt in 1 2 3 4 5 6; do
    if dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1; then deb_installed=1; break; fi
    grep -q "lock" "$work/dpkg-i.log" || break
    sleep 10
  done
  if [ "$deb_installed" = 1 ]; then
    pass "deb: dpkg -i"
    dpkg -L velk32 | while read -r f; do [ -d "$f" ] || echo "$f"; done >"$work/deb-files"
    check "deb: pkg-config consumer against the installed package" bash -c '
      set -e
      cc -std=c99 -Wall -Wextra -Werror examples/c/loopback.c $(pkg-config --cflags --libs velk32) \
        -o "$1/deb_loopback"
      "$1/deb_loopback"' _ "$work"
    check "deb: man SioReset and man velk32 from the installed package" bash -c '
      set -e
      man -w SioReset | tee /dev/stderr | grep -qx "/usr/share/man/man3/SioReset.3.gz"
      MANWIDTH=80 man SioReset 2>/dev/null | grep -E "^ +SioReset - open a port"
      MANWIDTH=80 man velk32 2>/dev/null | grep -q "SioStatus(3)"
      test -s /usr/share/doc/velk32/html/index.html'
    check "deb: find_package consumer against the installed package" bash -c '
      set -e
      cmake -S examples/c -B "$1/deb_find_package" >/dev/null
      cmake --build "$1/deb_find_package" >/dev/null
      "$1/deb_find_package/loopback"' _ "$work"
    check "deb: Python sample with the default name libvelk32.so.2" python3 examples/python/loopback.py
    if [ -f "$work/Loopback.exe" ]; then
      check "deb: C# sample (Mono, DllImport velk32, no settings)" mono "$work/Loopback.exe"
    fi
    if dpkg -P velk32 >"$work/dpkg-r.log" 2>&1; then
      deb_installed=0
      check "deb: dpkg -P leaves nothing behind" bash -c '
        left=0
        while read -r f; do
          if [ -e "$f" ] || [ -L "$f" ]; then echo "left behind: $f"; left=1; fi
        done <"$1"
        ldconfig -p | grep libvelk32 && left=1
        pkg-config --exists velk32 && { echo "pkg-config still finds velk32"; left=1; }
        echo "$(wc -l <"$1") files removed"
        [ "$left" = 0 ]' _ "$work/deb-files"
    else
      cat "$work/dpkg-r.log" >&2
      fail "deb: dpkg -P"
    fi
  else
    cat "$work/dpkg-i.log" >&2
    fail "deb: dpkg -i"
  fi
  flock -u 9
fi

# ---- Windows zips ----------------------------------------------------------
# One headless Wine prefix serves both runs (scripts/wine-run.sh). Without the
# 32-bit Wine it runs the 64-bit one through the 64-bit loader.
export VELK_WINEPREFIX=$work/wine/prefix
wine_ready=""
no_wine=$(lacking wine wine64) || no_wine=""
if no_wine32=$(lacking wine32:i386); then export VELK_NO_WINE32=$no_wine32; fi
for arch in x86_64 i686; do
  var=win_${arch}_dir
  dir=${!var:-build/consumers/win-$arch}
  build "win-$arch" "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$arch.cmake"
  dir=$(cd "$dir" && pwd)
  rm -rf "$dir/packages"
  (cd "$dir" && cpack -G ZIP >"$work/cpack-$arch.log" 2>&1) || { cat "$work/cpack-$arch.log" >&2; exit 1; }
  zip=$(ls "$dir"/packages/velk32-*-windows-"$arch".zip)
  echo "== $(basename "$zip")"
  unz=$work/zip-$arch
  mkdir -p "$unz"
  unzip -q "$zip" -d "$unz"
  top=$(ls -d "$unz"/velk32-*)
  check "zip $arch: DLL, import libraries, .def, header, velkcom.exe, text, HTML reference; DLL stripped" bash -c '
    set -e; cd "$1"
    for f in bin/velk32.dll bin/velkcom.exe lib/libvelk32.dll.a lib/velk32.lib lib/velk32.def \
        include/velk32.h README.txt LICENSE.txt doc/html/index.html doc/html/group__SioReset.html \
        doc/windows.md; do
      test -s "$f" || { echo "missing: $f"; exit 1; }
    done
    test ! -e include/velk32_posix.h
    ! objdump -h bin/velk32.dll | grep -q "[.]debug_"
    ls -l bin/velk32.dll | awk "{ print \"velk32.dll: \" \$5 \" bytes\" }"' _ "$top"
  triple=$arch-w64-mingw32
  # Built from the unpacked zip alone: its header, its import library.
  check "zip $arch: MinGW program builds from the zip alone, imports nothing from MinGW" bash -c '
    set -e
    "$2-gcc" -std=c99 -Wall -Wextra -Werror -O2 examples/windows/com_pair.c -I"$1/include" \
      -L"$1/lib" -lvelk32 -o "$3"
    dlls=$("$2-objdump" -p "$3" | sed -n "s/^\tDLL Name: //p" | tr "A-Z" "a-z" | sort | tr "\n" " ")
    echo "imports: $dlls"
    [ "$dlls" = "kernel32.dll msvcrt.dll velk32.dll " ]' _ "$top" "$triple" "$work/com_pair-$arch.exe"
  check "zip $arch: CMake project with find_package(velk32) from the zip builds" bash -c '
    set -e
    cmake -S tests/consumers/windows-cmake -B "$3" -DVELK32_ZIP="$1" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mingw-$2.cmake" >/dev/null
    cmake --build "$3" >/dev/null
    "$2-w64-mingw32-objdump" -p "$3/com_pair.exe" | grep -i "DLL Name: velk32[.]dll"' \
    _ "$top" "$arch" "$work/zip-cmake-$arch"
  reason=$no_wine
  if [ "$arch" = i686 ] && [ -z "$reason" ]; then
    reason=${VELK_NO_WINE32:-$(bash scripts/can-run-32bit.sh)} || true
  fi
  if [ -n "$reason" ]; then
    skip "zip $arch: COM1 -> COM2 under Wine" "$reason"
    continue
  fi
  if [ -z "$wine_ready" ]; then
    bash scripts/wine-run.sh --boot
    wine_ready=1
  fi
  CHECK_TIMEOUT=300 check "zip $arch: COM1 -> COM2 under Wine (socat pty pair)" \
    bash scripts/wine-run.sh --ports "$top/bin" "$work/com_pair-$arch.exe"
done

echo
echo "== consumers: summary"
printf '%s\n' "${results[@]}"
! printf '%s\n' "${results[@]}" | grep -q '^FAIL'
