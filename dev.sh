#!/usr/bin/env bash
# One entry point for developers and CI: each command installs the Debian
# packages it needs (only when some are missing), then configures, builds and
# runs its preset. Run `./dev.sh help` for the list.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Paths given on the command line (install-sdk's PREFIX) are the caller's.
CALLER_DIR=$PWD
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
# Node and npm come from Debian only when the machine has none of its own.
PKGS_CONSOLE=(chromium)

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

# Empty when qemu-i386 is missing: under `set -e -o pipefail` a failing
# version query must not end the script before qemu is installed.
qemu_major() { { qemu-i386 --version 2>/dev/null || true; } | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'; }

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

# check_dll DLL [EXPORT]: the DLL must export its load function (the chat
# plugin's by default) and nothing else, and need nothing but system DLLs.
check_dll() {
  local dll=$1 export=${2:-load_kiv_game_client_chat} dump
  [[ -f $dll ]] || die "$dll was not built"
  dump=$(i686-w64-mingw32-objdump -p "$dll")
  local exports imports bad
  exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^[ \t]*\[/ { print $NF; next } on { on = 0 }' \
    <<<"$dump")
  imports=$(awk '/DLL Name:/ { print $3 }' <<<"$dump" | sort -u)
  say "$(basename "$dll") exports: $(tr '\n' ' ' <<<"$exports")"
  say "$(basename "$dll") imports: $(tr '\n' ' ' <<<"$imports")"
  [[ $exports == "$export" ]] || die "$dll must export $export and nothing else"
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

# test-console [--update-golden]: kivhost's OpenAPI document (golden copies
# in tests/console/golden, the linter) and its web console in headless
# Chromium, with the dev preset's kivhost, chat plugin, probe and template.
# --update-golden first rewrites the golden copies and docs/console.png.
cmd_test_console() {
  local update=0 arg
  for arg in "$@"; do
    case $arg in
      --update-golden) update=1 ;;
      *) die "test-console: unknown argument '$arg' (only --update-golden)" ;;
    esac
  done
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_CONSOLE[@]}"
  command -v node >/dev/null && command -v npm >/dev/null || ensure_pkgs nodejs npm
  [[ -f build/dev/CMakeCache.txt ]] || cmake --preset dev
  cmake --build build/dev -j"$JOBS" --target kivhost kiv-game-client-chat kiv-binding-probe kiv-template

  # The committed lockfile decides every package; it is installed again only when it changed.
  local modules=tests/console/node_modules
  if ! cmp -s tests/console/package-lock.json "$modules/.kiv-installed-lock"; then
    say "installing the console checks' npm packages (tests/console/package-lock.json)"
    (cd tests/console && npm ci --no-audit --no-fund) >"$LOG_DIR/npm-ci.log" 2>&1 || {
      tail -n 30 "$LOG_DIR/npm-ci.log" >&2
      die "npm ci failed (see build/logs/npm-ci.log)"
    }
    cp tests/console/package-lock.json "$modules/.kiv-installed-lock"
  fi

  export KIVHOST=$ROOT/build/dev/host/kivhost
  export KIV_CHAT_PLUGIN=$ROOT/build/dev/src/plugin/libkiv-game-client-chat.so
  export KIV_PROBE_PLUGIN=$ROOT/build/dev/probe/libkiv-binding-probe.so
  export KIV_TEMPLATE_PLUGIN=$ROOT/build/dev/tests/console/libkiv-template.so
  export CHROMIUM=${CHROMIUM:-$(command -v chromium)}
  export KIV_SCREENSHOT=$LOG_DIR/console.png
  if [[ $update == 1 ]]; then
    local name plugin
    for plugin in "$KIV_CHAT_PLUGIN" "$KIV_PROBE_PLUGIN" "$KIV_TEMPLATE_PLUGIN"; do
      name=$(basename "$plugin" .so)
      "$KIVHOST" -q -p "$plugin" openapi >"tests/console/golden/${name#lib}.openapi.json"
    done
    KIV_SCREENSHOT=$ROOT/docs/console.png
    say "rewrote tests/console/golden/*.openapi.json; docs/console.png follows from the browser test"
  fi

  # TAP names each case with ok / not ok; CI counts its "# pass" and "# fail" summary.
  local tap=$LOG_DIR/console-tap.log status=0
  (cd tests/console && node --test --test-reporter=tap openapi.test.mjs console.test.mjs) >"$tap" 2>&1 || status=$?
  grep -E '^(not )?ok |^# (tests|pass|fail|cancelled) [0-9]+$' "$tap" || true
  [[ $status == 0 ]] || die "the console checks failed (TAP: build/logs/console-tap.log)"
}

cmd_bench() {
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_RELEASE[@]}"
  [[ -f bench/CMakeLists.txt ]] || die "bench/ has no CMakeLists.txt yet"
  configure_build release
  if [[ ${1:-} == --compare ]]; then
    shift
    bench_compare "$@"
    return
  fi
  local found=0 b
  while IFS= read -r b; do
    found=1
    say "running $b"
    "$b" "$@" </dev/null
  done < <(find build/release/bench -path '*/CMakeFiles' -prune -o -type f -perm -u+x -print | sort)
  [[ $found == 1 ]] || die "no benchmark programs under build/release/bench"
}

# bench-host [SECONDS] [ROUNDS]: the release kivhost with the chat plugin,
# loaded by wrk over loopback (one thread, 8 keep-alive connections) for
# SECONDS (10) per request kind, alternating ROUNDS (3) times: a party
# message (one call into the plugin) and an instant message (the plugin's
# three requests to the simulated peers, and the events they fire). Prints
# each round and the medians, and writes them to build/bench/host.md.
cmd_bench_host() {
  local seconds=${1:-10} rounds=${2:-3} out=build/bench host log port round kind pid
  [[ $seconds =~ ^[1-9][0-9]*$ && $rounds =~ ^[1-9][0-9]*$ ]] || die "bench-host: SECONDS and ROUNDS are positive numbers"
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_RELEASE[@]}"
  cmake --preset release >/dev/null
  cmake --build --preset release -j"$JOBS" --target kivhost kiv-game-client-chat
  host=build/release/host/kivhost
  mkdir -p "$out"
  log=$out/host-kivhost.log
  # Gone before the start: the background shell truncates it only when it
  # gets to run, and the banner of an earlier run must not be read for this one.
  rm -f "$log"
  "$host" -q --port 0 >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's|^Serving .* on http://127.0.0.1:\([0-9]*\);.*|\1|p' "$log" 2>/dev/null)
    [[ -n $port ]] && break
    sleep 0.1
  done
  [[ -n $port ]] || { kill "$pid" 2>/dev/null; die "kivhost did not start serving; see $log"; }
  local base="http://127.0.0.1:$port/kiv-game-client-chat/v1"
  local -A url=([party]="$base/party-messages?message=hello" [instant]="$base/instant-messages?summonerName=Ann&message=hello")
  : >"$out/host-rounds.txt"
  for round in $(seq "$rounds"); do
    for kind in party instant; do
      wrk -t1 -c8 -d"${seconds}s" -s tools/host_load.lua "${url[$kind]}" |
        sed -n "s/^KIV-LOAD /$round $kind /p" | tee -a "$out/host-rounds.txt"
      kill -0 "$pid" 2>/dev/null || die "kivhost stopped under load (round $round, $kind); see $log"
    done
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || true
  python3 - "$out/host-rounds.txt" "$out/host.md" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1]) if line.strip()]
by = {}
for r in rows:
    by.setdefault(r[1], []).append([float(x) for x in r[3:7]])
if set(by) != {"party", "instant"}:
    sys.exit("bench-host: wrk gave no figures")
med = {k: [statistics.median(col) for col in zip(*v)] for k, v in by.items()}
ratios = [i[0] / p[0] for p, i in zip(by["party"], by["instant"])]
lines = ["| request | requests/s | p50 (µs) | p99 (µs) | non-2xx |", "|---|---:|---:|---:|---:|"]
for k in ("party", "instant"):
    rps, p50, p99, bad = med[k]
    lines.append(f"| {k} message | {rps:,.0f} | {p50:,.0f} | {p99:,.0f} | {bad:.0f} |")
lines.append("")
lines.append(f"instant / party: {statistics.median(ratios):.2f} (rounds: {', '.join(f'{r:.2f}' for r in ratios)}); "
             f"medians of {len(ratios)} alternated rounds, wrk -t1 -c8 over loopback")
text = "\n".join(lines) + "\n"
open(sys.argv[2], "w").write(text)
print(text, end="")
bad = sum(m[3] for m in med.values())
sys.exit("bench-host: some answers were not 2xx" if bad else 0)
PY
}

# bench_compare [RUNS]: each reader program RUNS times (5 unless told), only
# the peers and this library's shipped configuration, one process per format
# and run; then the median ratios as a table and a chart in build/bench.
bench_compare() {
  local runs=${1:-5} out=build/bench i reader program
  [[ $runs =~ ^[1-9][0-9]*$ ]] || die "bench --compare: RUNS must be a positive number, not '$runs'"
  ensure_pkgs python3
  mkdir -p "$out"
  rm -f "$out"/run-*.json
  # Each reader program with its filter; the shipped arena retention is the run whose second argument is not 0.
  local readers=(
    "json_bench:RapidJsonDocument|ReadJson<false>/[0-9]/[1-9]|TreeBytesPerNode"
    "msgpack_bench:MsgpackCxx|ReadMessagePack/[0-9]/[1-9]"
    "yaml_bench:LibYaml|YamlCpp|ReadYaml/[0-9]/[1-9]"
    "dispatch_bench:PeerParse|Echo"
  )
  for ((i = 1; i <= runs; i++)); do
    for reader in "${readers[@]}"; do
      program=${reader%%:*}
      say "run $i of $runs: $program"
      "build/release/bench/$program" --benchmark_filter="${reader#*:}" --benchmark_out="$out/run-$program-$i.json" \
        --benchmark_out_format=json >"$out/run-$program-$i.txt" </dev/null
    done
  done
  python3 tools/bench_compare.py "$out" "$out"/run-*.json
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

# --- the plugin author's SDK ---------------------------------------------

SDK_DIR=build/sdk

# install-sdk PRESET PREFIX: build what the SDK holds with PRESET (the rooms,
# and kivhost where the preset builds it) and install it into PREFIX. The
# preset's build directory is configured only when it has never been.
cmd_install_sdk() {
  local preset=${1:-} prefix=${2:-}
  [[ -n $preset && -n $prefix ]] || die "usage: ./dev.sh install-sdk PRESET PREFIX (PRESET: release, x86 or windows-x86)"
  case $preset in
    release) ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_RELEASE[@]}" ;;
    x86) ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_X86[@]}" ;;
    windows-x86)
      ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_WINDOWS[@]}"
      build_mingw_libyaml
      ;;
    *) die "install-sdk: no SDK from preset '$preset' (release, x86 or windows-x86)" ;;
  esac
  [[ $prefix == /* ]] || prefix=$CALLER_DIR/$prefix
  local build=build/$preset log="$LOG_DIR/sdk-$preset.log"
  : >"$log"
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake --preset "$preset" >>"$log" 2>&1 || {
      tail -n 30 "$log" >&2
      die "configuring $preset failed (see build/logs/sdk-$preset.log)"
    }
  fi
  local targets=(kiv_framework)
  grep -q '^KIV_BUILD_HOST:BOOL=ON' "$build/CMakeCache.txt" && targets+=(kivhost)
  say "building ${targets[*]} ($preset) and installing the SDK into $prefix"
  cmake --build "$build" -j"$JOBS" --target "${targets[@]}" >>"$log" 2>&1 || {
    grep -E 'error|Error' "$log" | head -n 30 >&2
    die "building the SDK with $preset failed (see build/logs/sdk-$preset.log)"
  }
  cmake --install "$build" --prefix "$prefix" --component sdk >>"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    die "installing the SDK from $preset failed (see build/logs/sdk-$preset.log)"
  }
}

# An installed SDK must not point back into this tree (it is copied or
# moved as a whole) and its headers must not ask for what only the readers'
# sources use.
check_sdk_contents() {
  local prefix=$1 found
  found=$(grep -rlF "$ROOT" "$prefix/lib/cmake" "$prefix/lib/pkgconfig" || true)
  [[ -z $found ]] || die "the SDK in $prefix names this source tree in: $found"
  found=$(grep -rlE '#[[:space:]]*include[[:space:]]*[<"](rapidjson/|yaml\.h)' "$prefix/include" || true)
  [[ -z $found ]] || die "installed headers include RapidJSON or libyaml: $found"
  [[ -f $prefix/include/kiv/kiv_plugin.h && -f $prefix/include/kiv/framework/plugin.h ]] ||
    die "the SDK in $prefix lacks kiv_plugin.h or framework/plugin.h"
}

# expect_refusal TEXT... -- COMMAND...: COMMAND must fail, saying every TEXT.
expect_refusal() {
  local texts=() out t
  while [[ $1 != -- ]]; do
    texts+=("$1")
    shift
  done
  shift
  if out=$("$@" 2>&1); then
    printf '%s\n' "$out" >&2
    die "expected a failure from: $*"
  fi
  for t in "${texts[@]}"; do
    grep -qF -- "$t" <<<"$out" || {
      printf '%s\n' "$out" >&2
      die "the failure of '$*' does not say: $t"
    }
  done
  say "refused as it should be: $(grep -m 1 -F -- "${texts[0]}" <<<"$out" | cut -c 1-240)"
}

# build_template NAME SDK [CMAKE ARGS...]: the template, out of the tree,
# against the SDK in build/sdk/SDK, into build/sdk/template-NAME.
build_template() {
  local name=$1 sdk=$ROOT/$SDK_DIR/$2 dir=$SDK_DIR/template-$1 log="$LOG_DIR/sdk-template-$1.log"
  shift 2
  rm -rf "$dir"
  { cmake -S examples/template -B "$dir" -DCMAKE_PREFIX_PATH="$sdk" "$@" && cmake --build "$dir" -j"$JOBS"; } \
    >"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    die "building the template ($name) against $sdk failed (see build/logs/sdk-template-$name.log)"
  }
}

# The guide's shell blocks, in order, as one script in an empty folder, with
# the SDKs this run installed; then the C++ the guide shows must be, line for
# line, in the template as the guide left it.
run_guide() {
  local work=$SDK_DIR/guide script=$SDK_DIR/guide.sh
  rm -rf "$work"
  mkdir -p "$work"
  awk '/^```sh$/ { on = 1; next } /^```$/ { on = 0; next } on { print }' docs/plugin-guide.md >"$script"
  [[ -s $script ]] || die "docs/plugin-guide.md has no sh blocks"
  say "running the $(grep -c . "$script") command lines of docs/plugin-guide.md in $work"
  (cd "$work" && KIV_SRC=$ROOT SDK=$ROOT/$SDK_DIR/x86-64 SDK_WIN=$ROOT/$SDK_DIR/windows-x86 \
    bash -euo pipefail -x "$ROOT/$script") >"$LOG_DIR/sdk-guide.log" 2>&1 || {
    tail -n 40 "$LOG_DIR/sdk-guide.log" >&2
    die "a command of docs/plugin-guide.md failed (see build/logs/sdk-guide.log)"
  }
  # The code the guide shows is what the guide's copy of the template holds.
  local lang file copy missing
  for lang in cpp:template_plugin.cpp cmake:CMakeLists.txt; do
    file=${lang#*:}
    lang=${lang%%:*}
    copy=$(find "$work" -mindepth 2 -maxdepth 2 -name "$file" -print -quit)
    [[ -n $copy ]] || die "the guide left no copy of the template's $file in $work"
    missing=$(awk -v lang="$lang" '$0 == "```" lang { on = 1; next } /^```$/ { on = 0; next } on && NF { sub(/^[ \t]+/, ""); print }' \
      docs/plugin-guide.md | while IFS= read -r line; do
      grep -qF -- "$line" "$copy" || printf '  %s\n' "$line"
    done)
    [[ -z $missing ]] || die "docs/plugin-guide.md shows $lang lines that its copy of $file lacks:"$'\n'"$missing"
  done
}

# The SDK on each target: installed from the release, x86 and windows-x86
# presets into build/sdk/<target>, the template built out of the tree against
# it and run in that target's kivhost; the refusals a plugin author can meet;
# then every command of docs/plugin-guide.md.
cmd_sdk() {
  ensure_pkgs "${PKGS_DEV[@]}" "${PKGS_RELEASE[@]}" "${PKGS_X86[@]}" "${PKGS_WINDOWS[@]}"
  rm -rf "${SDK_DIR:?}"
  local host plugin

  # x86-64
  cmd_install_sdk release "$SDK_DIR/x86-64"
  check_sdk_contents "$SDK_DIR/x86-64"
  host=$SDK_DIR/x86-64/bin/kivhost
  local version
  version=$("$host" --version)
  [[ $version == "kivhost $(sdk_version) (plugin API $(sdk_version))" ]] ||
    die "kivhost --version does not say $(sdk_version): $version"
  build_template x86-64 x86-64
  # The same targets, exported from the build tree.
  build_template x86-64-build-tree x86-64 -DKivPluginSdk_DIR="$ROOT/build/release/sdk"
  plugin=$SDK_DIR/template-x86-64/libkiv-template.so
  "$host" -q -p "$plugin" script examples/template/template.kivs >"$LOG_DIR/sdk-scenario-x86-64.log" 2>&1 || {
    cat "$LOG_DIR/sdk-scenario-x86-64.log" >&2
    die "the template's scenario failed on x86-64"
  }
  say "x86-64: the template passes its scenario"
  # A plugin builds with the SDK's pkg-config file alone, too.
  local pc_flags
  pc_flags=$(PKG_CONFIG_PATH=$SDK_DIR/x86-64/lib/pkgconfig pkg-config --cflags --libs kiv-plugin-sdk)
  # shellcheck disable=SC2086
  g++ -std=c++20 -shared -fPIC -fvisibility=hidden examples/template/template_plugin.cpp -o "$SDK_DIR/libkiv-template-pc.so" \
    $pc_flags -Wl,-z,defs >"$LOG_DIR/sdk-pkg-config.log" 2>&1 || {
    tail -n 20 "$LOG_DIR/sdk-pkg-config.log" >&2
    die "the template does not link with the flags of kiv-plugin-sdk.pc"
  }
  # kiv_add_plugin fails the link of a plugin whose sources do not define
  # the export it was told of.
  mkdir -p "$SDK_DIR/wrong-export"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(wrong_export LANGUAGES CXX)' \
    'find_package(KivPluginSdk CONFIG REQUIRED)' \
    "kiv_add_plugin(NAME kiv-template SOURCES $ROOT/examples/template/template_plugin.cpp EXPORT_NAME load_kiv_other)" \
    >"$SDK_DIR/wrong-export/CMakeLists.txt"
  cmake -S "$SDK_DIR/wrong-export" -B "$SDK_DIR/wrong-export/build" -DCMAKE_PREFIX_PATH="$ROOT/$SDK_DIR/x86-64" \
    >"$LOG_DIR/sdk-wrong-export.log" 2>&1 || die "configuring $SDK_DIR/wrong-export failed"
  expect_refusal "load_kiv_other" -- cmake --build "$SDK_DIR/wrong-export/build"
  # What a plugin author can meet: a host of another major, a load function
  # not where the host looks, a file that is no plugin library.
  local other=$SDK_DIR/libkiv-template-renamed.so
  cp "$plugin" "$other"
  expect_refusal "host plugin API 19.0.0" "the plugin requires $(sdk_version)" "$plugin" -- \
    "$host" --host-version 19 -p "$plugin" api
  expect_refusal "$other has no export load_kiv_template_renamed" "PATH=EXPORT" -- "$host" -p "$other" api
  expect_refusal "$plugin has no export load_other" -- "$host" -p "$plugin=load_other" api
  expect_refusal "Cannot load examples/template/template.kivs" -- "$host" -p examples/template/template.kivs api

  # 32-bit Linux
  ensure_i386_exec
  cmd_install_sdk x86 "$SDK_DIR/x86"
  check_sdk_contents "$SDK_DIR/x86"
  local toolchain=$ROOT/$SDK_DIR/x86/share/KivPluginSdk/toolchain-linux-x86.cmake
  # The 64-bit SDK is refused by a -m32 build, saying why.
  rm -rf "$SDK_DIR/wrong-target"
  expect_refusal "built for Linux 64-bit" "not usable from this Linux 32-bit build" -- \
    cmake -S examples/template -B "$SDK_DIR/wrong-target" -DCMAKE_PREFIX_PATH="$ROOT/$SDK_DIR/x86-64" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  build_template x86 x86 -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  "$SDK_DIR/x86/bin/kivhost" -q -p "$SDK_DIR/template-x86/libkiv-template.so" script examples/template/template.kivs \
    >"$LOG_DIR/sdk-scenario-x86.log" 2>&1 || {
    cat "$LOG_DIR/sdk-scenario-x86.log" >&2
    die "the template's scenario failed on 32-bit Linux"
  }
  say "x86: the template passes its scenario"

  # Windows DLL, run by the Windows kivhost under Wine
  ensure_pkgs -t "$(codename)" "${PKGS_WINE[@]}"
  cmd_install_sdk windows-x86 "$SDK_DIR/windows-x86"
  check_sdk_contents "$SDK_DIR/windows-x86"
  build_template windows-x86 windows-x86 \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/$SDK_DIR/windows-x86/share/KivPluginSdk/toolchain-mingw-i686.cmake"
  plugin=$SDK_DIR/template-windows-x86/kiv-template.dll
  check_dll "$plugin" load_kiv_template
  wine_start
  host=$SDK_DIR/windows-x86/bin/kivhost.exe
  wine "$host" -q -p "$plugin" script examples/template/template.kivs >"$LOG_DIR/sdk-scenario-windows-x86.log" 2>&1 || {
    cat "$LOG_DIR/sdk-scenario-windows-x86.log" >&2
    die "the template's scenario failed in the Windows kivhost"
  }
  say "windows-x86: the template passes its scenario under Wine"
  expect_refusal "host plugin API 19.0.0" "the plugin requires $(sdk_version)" "$plugin" -- \
    wine "$host" --host-version 19 -p "$plugin" api

  run_guide
  say "the SDK works on x86-64, x86 and windows-x86 (under Wine), and every command of docs/plugin-guide.md ran"
}

# The version this tree builds: the boundary header's plugin API version.
sdk_version() {
  awk '/^#define KIV_PLUGIN_API_(MAJOR|MINOR|PATCH) / { sub(/u$/, "", $3); v = v (v == "" ? "" : ".") $3 } END { print v }' \
    include/kiv_plugin.h
}

usage() {
  cat <<'EOF'
usage: ./dev.sh COMMAND [ARGS]
  test            check the rooms' includes, then dev preset (Debug, ASan + UBSan): install, configure, build, run every test
  run [ARGS]      release preset: build the chat plugin and start kivhost with ARGS
  bench [ARGS]    release preset: build and run every benchmark program (ARGS go to each)
  bench --compare [RUNS]
                  the readers against their peers, RUNS paired runs (5): table and chart in build/bench
  bench-host [SECONDS] [ROUNDS]
                  kivhost under wrk: party and instant messages alternated, requests/s, p50/p99 (build/bench/host.md)
  fuzz [SECONDS]  fuzz preset (clang + libFuzzer): run each fuzz target (default 20 s)
  test-tsan       tsan preset (ThreadSanitizer): build and run the framework and logging tests
  test-x86        x86 preset (-m32): build and run the tests
  test-windows    windows-x86 preset: build the DLL, check its exports and imports, run the tests under Wine
  test-console [--update-golden]
                  dev preset: kivhost's OpenAPI document against its golden copies and the linter, and the
                  web console in headless Chromium (--update-golden rewrites the copies and docs/console.png)
  sdk             install the plugin SDK for x86-64, x86 and windows-x86 into build/sdk/, build and run the
                  template against each, check the refusals, run every command of docs/plugin-guide.md
  install-sdk PRESET PREFIX
                  build the SDK with PRESET (release, x86 or windows-x86) and install it into PREFIX
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
    bench-host) cmd_bench_host "$@" ;;
    fuzz) cmd_fuzz "$@" ;;
    test-tsan) cmd_test_tsan "$@" ;;
    test-x86) cmd_test_x86 "$@" ;;
    test-windows) cmd_test_windows "$@" ;;
    test-console) cmd_test_console "$@" ;;
    sdk) cmd_sdk "$@" ;;
    install-sdk) cmd_install_sdk "$@" ;;
    help | -h | --help) usage ;;
    *)
      usage >&2
      exit 2
      ;;
  esac
}

main "$@"
