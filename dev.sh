#!/usr/bin/env bash
# One entry point for developers and CI: each command installs the Debian
# packages it needs (only when some are missing), then configures, builds and
# runs its preset. Run `./dev.sh help` for the list.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cd "$ROOT"

export DEBIAN_FRONTEND=noninteractive
JOBS=2
LOG_DIR=$ROOT/build/logs
MINGW_PREFIX=$ROOT/build/third_party/mingw-i686
# The toolchain file points Wine at this prefix too; both must agree.
export WINEPREFIX=$ROOT/build/wine-prefix
export WINEDEBUG=-all

# Package groups. `test` needs only the first one, so a developer who never
# builds for Windows is not made to install Wine.
PKGS_DEV=(build-essential cmake pkg-config googletest libgtest-dev libgmock-dev rapidjson-dev libyaml-dev
  nlohmann-json3-dev libmsgpack-cxx-dev libyaml-cpp-dev libcpp-httplib-dev libcli11-dev)
PKGS_RELEASE=(libbenchmark-dev wrk curl)
PKGS_X86=(g++-multilib libyaml-dev:i386)
PKGS_WINDOWS=(mingw-w64 dpkg-dev)
# Wine only resolves its dependencies against the release itself, not its updates.
PKGS_WINE=(wine wine32:i386)
PKGS_FUZZ=(clang libclang-rt-14-dev)

say() { printf '%s\n' "dev.sh: $*"; }
die() {
  printf '%s\n' "dev.sh: error: $*" >&2
  exit 1
}

codename() { (. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}"); }

# --- packages -----------------------------------------------------------

# True when NAME (or NAME:ARCH) is installed for the native or the given architecture.
pkg_installed() {
  local name=${1%%:*} arch=""
  [[ $1 == *:* ]] && arch=${1#*:}
  local native
  native=$(dpkg --print-architecture)
  dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' "$name" 2>/dev/null |
    awk -v want="$arch" -v native="$native" '
      $2 == "ii" && ((want == "" && ($1 == native || $1 == "all")) || $1 == want) { ok = 1 }
      END { exit ok ? 0 : 1 }'
}

APT_UPDATED=0
apt_update() {
  [[ $APT_UPDATED == 1 ]] && return 0
  mkdir -p "$LOG_DIR"
  # One unreachable index must not stop the run; a missing package fails later, loudly.
  if ! apt-get update -q -o DPkg::Lock::Timeout=600 >"$LOG_DIR/apt-update.log" 2>&1; then
    say "warning: apt-get update reported errors (see build/logs/apt-update.log); going on"
  fi
  APT_UPDATED=1
}

# ensure_pkgs [-t RELEASE] PKG...: install whatever of PKG... is missing.
ensure_pkgs() {
  local target=()
  if [[ ${1:-} == -t ]]; then
    target=(-t "$2")
    shift 2
  fi
  local missing=() p
  for p in "$@"; do
    pkg_installed "$p" || missing+=("$p")
  done
  [[ ${#missing[@]} == 0 ]] && return 0
  [[ $(id -u) == 0 ]] || die "missing packages: ${missing[*]} (run as root or install them)"
  local need_i386=0
  for p in "${missing[@]}"; do [[ $p == *:i386 ]] && need_i386=1; done
  if [[ $need_i386 == 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    APT_UPDATED=0
  fi
  say "installing ${missing[*]}"
  apt_update
  local log="$LOG_DIR/apt-install.log"
  if ! apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${target[@]}" "${missing[@]}" \
    >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    die "apt-get install failed (full log: build/logs/apt-install.log)"
  fi
}

# A private apt configuration under build/apt/MODE, derived from the machine's
# own Debian source entries, so that nothing under /etc/apt changes and no
# archive address is written into the project. MODE is deb-src (the same
# archives' source packages) or backports (the release's backports suite).
# Leaves the apt options that select it in APT_OPTS.
APT_OPTS=()
private_apt() {
  local mode=$1 dir="$ROOT/build/apt/$1" src cn
  cn=$(codename)
  mkdir -p "$dir/lists/partial"
  if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    src=$dir/sources.sources
    awk -v mode="$mode" -v cn="$cn" 'BEGIN { RS = ""; ORS = "\n" }
      {
        n = split($0, line, "\n"); out = ""; keep = (mode == "deb-src")
        for (i = 1; i <= n; i++) {
          l = line[i]
          if (l ~ /^Types:/) l = (mode == "deb-src") ? "Types: deb-src" : "Types: deb"
          if (l ~ /^Suites:/ && mode == "backports") {
            if ((" " substr(l, 8) " ") ~ (" " cn " ")) keep = 1
            l = "Suites: " cn "-backports"
          }
          out = out l "\n"
        }
        if (keep) print out
      }' /etc/apt/sources.list.d/debian.sources >"$src"
  elif [[ -f /etc/apt/sources.list ]]; then
    src=$dir/sources.list
    awk -v mode="$mode" -v cn="$cn" '$1 == "deb" {
        i = 2
        if ($2 ~ /^\[/) {
          while (i < NF && $i !~ /\]$/) i++
          i++
        }
        if (mode == "deb-src") { $1 = "deb-src"; print; next }
        if ($(i + 1) == cn) { $(i + 1) = cn "-backports"; print }
      }' /etc/apt/sources.list >"$src"
  else
    die "no Debian apt source file to derive the $mode entries from"
  fi
  [[ -s $src ]] || die "no Debian entries found to derive the $mode entries from"
  APT_OPTS=(-o "Dir::Etc::sourcelist=$src" -o Dir::Etc::sourceparts=- -o "Dir::State::Lists=$dir/lists")
}

# --- 32-bit x86 programs ------------------------------------------------

i386_runs() {
  local ld
  for ld in /lib/ld-linux.so.2 /lib32/ld-linux.so.2; do
    [[ -e $ld ]] && "$ld" --version >/dev/null 2>&1 && return 0
  done
  return 1
}

qemu_major() { qemu-i386 --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'; }

# Some kernels (this CI's among them) have 32-bit emulation switched off. There
# the x86 tests and Wine run through qemu's user-mode emulator, registered with
# binfmt_misc so that every 32-bit program (Wine's own helpers too) starts
# through it. qemu before 9 ignores MAP_FIXED_NOREPLACE, without which Wine
# cannot map its shared user data; the release's backports carry a newer one.
ensure_i386_exec() {
  i386_runs && return 0
  [[ -e /lib/ld-linux.so.2 || -e /lib32/ld-linux.so.2 ]] || die "no 32-bit C library installed"
  say "this kernel does not run 32-bit x86 programs; running them through qemu-i386"
  [[ $(id -u) == 0 ]] || die "setting up qemu-i386 needs root"
  local major
  major=$(qemu_major)
  if [[ -z $major || $major -lt 9 ]]; then
    local release debs="$ROOT/build/apt/debs"
    release="$(codename)-backports"
    private_apt backports
    mkdir -p "$debs" "$LOG_DIR"
    apt-get update -q "${APT_OPTS[@]}" >"$LOG_DIR/apt-backports.log" 2>&1 ||
      say "warning: apt-get update for $release reported errors; going on"
    rm -f "$debs"/qemu-user_*.deb
    (cd "$debs" && apt-get download -q "${APT_OPTS[@]}" "qemu-user/$release") >>"$LOG_DIR/apt-backports.log" 2>&1 ||
      die "could not download qemu-user from $release (see build/logs/apt-backports.log)"
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "$debs"/qemu-user_*.deb \
      >>"$LOG_DIR/apt-install.log" 2>&1 || die "could not install qemu-user (see build/logs/apt-install.log)"
    major=$(qemu_major)
    [[ -n $major && $major -ge 9 ]] || die "qemu-i386 ${major:-?} is too old for Wine (need 9 or later)"
  fi
  local bm=/proc/sys/fs/binfmt_misc
  [[ -e $bm/register ]] || mount -t binfmt_misc binfmt_misc "$bm" || die "cannot mount binfmt_misc"
  [[ -e $bm/kiv-qemu-i386 ]] && echo -1 >"$bm/kiv-qemu-i386"
  # ELF, 32-bit, little endian, executable or shared object, machine 3 (i386);
  # F opens the interpreter now, so it also serves other mount namespaces.
  printf '%s%s%s\n' ':kiv-qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:' \
    '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:' \
    "$(command -v qemu-i386):F" >"$bm/register"
  i386_runs || die "32-bit programs still do not run after registering qemu-i386"
}

# --- third-party builds -------------------------------------------------

# libyaml for MinGW, from Debian's source package, as a static library with
# its pkg-config file. Kept across runs: skipped when libyaml.a is there.
build_mingw_libyaml() {
  [[ -f $MINGW_PREFIX/lib/libyaml.a && -f $MINGW_PREFIX/lib/pkgconfig/yaml-0.1.pc ]] && return 0
  say "building libyaml for i686-w64-mingw32 into build/third_party/mingw-i686"
  local work="$ROOT/build/third_party/src"
  private_apt deb-src
  rm -rf "$work"
  mkdir -p "$work" "$LOG_DIR"
  local log="$LOG_DIR/libyaml-mingw.log"
  apt-get update -q "${APT_OPTS[@]}" >"$log" 2>&1 || say "warning: apt-get update for sources reported errors; going on"
  (cd "$work" && apt-get source -q "${APT_OPTS[@]}" libyaml) >>"$log" 2>&1 ||
    die "apt-get source libyaml failed (see build/logs/libyaml-mingw.log)"
  local srcdir
  srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libyaml-*' | head -n 1)
  [[ -n $srcdir && -f $srcdir/CMakeLists.txt ]] || die "libyaml source tree not found under $work"
  local version=${srcdir##*/libyaml-}
  {
    cmake -S "$srcdir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
      -DCMAKE_INSTALL_PREFIX="$MINGW_PREFIX" &&
      cmake --build "$work/build" -j"$JOBS" && cmake --install "$work/build"
  } >>"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    die "libyaml cross build failed (see build/logs/libyaml-mingw.log)"
  }
  mkdir -p "$MINGW_PREFIX/lib/pkgconfig"
  cat >"$MINGW_PREFIX/lib/pkgconfig/yaml-0.1.pc" <<EOF
prefix=$MINGW_PREFIX
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: LibYAML
Description: Library to parse and emit YAML (static, i686-w64-mingw32)
Version: ${version:-0.2.5}
Cflags: -I\${includedir} -DYAML_DECLARE_STATIC
Libs: -L\${libdir} -lyaml
EOF
  [[ -f $MINGW_PREFIX/lib/libyaml.a ]] || die "libyaml.a missing after the cross build"
}

# --- steps --------------------------------------------------------------

configure_build() {
  cmake --preset "$1"
  cmake --build --preset "$1" -j"$JOBS"
}

# The DLL must export the load function and need nothing but system DLLs.
check_dll() {
  local dll=$1 dump
  [[ -f $dll ]] || die "$dll was not built"
  dump=$(i686-w64-mingw32-objdump -p "$dll")
  local exports imports bad
  exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^[ \t]*\[/ { print $NF; next } on { on = 0 }' \
    <<<"$dump")
  imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort -u)
  say "$(basename "$dll") exports: $(tr '\n' ' ' <<<"$exports")"
  say "$(basename "$dll") imports: $(tr '\n' ' ' <<<"$imports")"
  grep -qx 'load_kiv_game_client_chat' <<<"$exports" || die "$dll does not export load_kiv_game_client_chat"
  bad=$(grep -viE '^(kernel32|msvcrt|advapi32|user32|ws2_32)\.dll$|^api-ms-win-.*\.dll$' <<<"$imports" || true)
  [[ -z $bad ]] || die "$dll imports non-system DLLs: $(tr '\n' ' ' <<<"$bad")"
}

# One Wine server, with the services it starts, lives for the whole test run.
# Started per test program instead, it would be slow under emulation, and the
# services a test program starts would inherit ctest's output pipe and keep
# ctest waiting long after the test has ended.
wine_start() {
  local log="$LOG_DIR/wine.log"
  : >"$log"
  wineserver -k >/dev/null 2>&1 || true
  [[ -f $WINEPREFIX/system.reg ]] || say "creating the Wine prefix build/wine-prefix"
  mkdir -p "$WINEPREFIX"
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  wineserver -p </dev/null >>"$log" 2>&1 || die "wineserver did not start (see build/logs/wine.log)"
  # The two overrides keep Wine from offering to download its .NET and HTML engines.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >>"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    die "wineboot failed (see build/logs/wine.log)"
  }
}

cmd_test() {
  # The cheapest failure first: an include that breaks the order of the rooms.
  tools/check_layers.sh
  ensure_pkgs "${PKGS_DEV[@]}"
  configure_build dev
  ctest --preset dev
}

cmd_test_x86() {
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_X86[@]}"
  ensure_i386_exec
  configure_build x86
  ctest --preset x86
}

cmd_test_windows() {
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_WINDOWS[@]}"
  ensure_pkgs -t "$(codename)" "${PKGS_WINE[@]}"
  ensure_i386_exec
  build_mingw_libyaml
  configure_build windows-x86
  check_dll build/windows-x86/src/plugin/kiv-game-client-chat.dll
  wine_start
  ctest --preset windows-x86
}

# ThreadSanitizer on the framework and logging tests (the concurrency tests
# among them). Its runtime needs an address layout that kernels with more
# than 28 bits of mmap randomisation do not give; there the tests run with
# randomisation switched off for them.
cmd_test_tsan() {
  ensure_pkgs "${PKGS_DEV[@]}"
  configure_build tsan
  local bits
  bits=$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)
  if [[ $bits -gt 28 ]]; then
    say "vm.mmap_rnd_bits is $bits: running the tests without address randomisation"
    setarch "$(uname -m)" -R ctest --preset tsan
  else
    ctest --preset tsan
  fi
}

cmd_run() {
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_RELEASE[@]}"
  cmake --preset release
  cmake --build --preset release -j"$JOBS" --target kivhost kiv-game-client-chat
  local host=build/release/host/kivhost
  [[ -x $host ]] || die "$host was not built"
  exec "$host" "$@"
}

cmd_bench() {
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_RELEASE[@]}"
  [[ -f bench/CMakeLists.txt ]] || die "bench/ has no CMakeLists.txt yet"
  configure_build release
  local found=0 b
  while IFS= read -r b; do
    found=1
    say "running $b"
    "$b" "$@" </dev/null
  done < <(find build/release/bench -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print | sort)
  [[ $found == 1 ]] || die "no benchmark programs under build/release/bench"
}

cmd_fuzz() {
  local seconds=${1:-${FUZZ_SECONDS:-20}}
  if [[ ! -f fuzz/CMakeLists.txt ]]; then
    say "fuzz/ has no CMakeLists.txt yet: no fuzz targets to run"
    return 0
  fi
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_FUZZ[@]}"
  configure_build fuzz
  local found=0 f name
  while IFS= read -r f; do
    found=1
    name=$(basename "$f")
    local work="build/fuzz/corpus-work/$name" seeds=()
    mkdir -p "$work" build/fuzz/artifacts
    # New inputs go to the first directory, so the committed seeds stay untouched.
    [[ -d fuzz/corpus/$name ]] && seeds=("fuzz/corpus/$name")
    say "fuzzing $name for ${seconds}s (seeds: ${seeds[*]:-none})"
    local log="$LOG_DIR/fuzz-$name.log"
    if ! "$f" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$name-" "$work" "${seeds[@]}" </dev/null >"$log" 2>&1; then
      tail -n 60 "$log" >&2
      die "fuzz target $name failed (log: build/logs/fuzz-$name.log, inputs: build/fuzz/artifacts)"
    fi
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^Done [0-9]+ runs' "$log" | sed "s/^/  $name: /" || true
  done < <(find build/fuzz/fuzz -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print 2>/dev/null | sort)
  [[ $found == 1 ]] || die "fuzz/CMakeLists.txt exists but built no fuzz programs under build/fuzz/fuzz"
}

usage() {
  cat <<'EOF'
usage: ./dev.sh COMMAND [ARGS]
  test            check the rooms' includes, then dev preset (Debug, ASan + UBSan): install, configure, build, run every test
  run [ARGS]      release preset: build the chat plugin and start kivhost with ARGS
  bench [ARGS]    release preset: build and run every benchmark program (ARGS go to each)
  fuzz [SECONDS]  fuzz preset (clang + libFuzzer): run each fuzz target (default 20 s)
  test-tsan       tsan preset (ThreadSanitizer): build and run the framework and logging tests
  test-x86        x86 preset (-m32): build and run the tests
  test-windows    windows-x86 preset: build the DLL, check its exports and imports, run the tests under Wine
EOF
}

main() {
  mkdir -p "$LOG_DIR"
  local cmd=${1:-help}
  shift || true
  case $cmd in
    test) cmd_test "$@" ;;
    run) cmd_run "$@" ;;
    bench) cmd_bench "$@" ;;
    fuzz) cmd_fuzz "$@" ;;
    test-tsan) cmd_test_tsan "$@" ;;
    test-x86) cmd_test_x86 "$@" ;;
    test-windows) cmd_test_windows "$@" ;;
    help | -h | --help) usage ;;
    *)
      usage >&2
      exit 2
      ;;
  esac
}

main "$@"
