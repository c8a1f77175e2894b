# Sourced by the scripts: the build folders and the private Wine prefix of this checkout.
# Never touches the user's own ~/.wine; proxies from the environment are dropped for the run.
# HVPELK_BUILD_ROOT moves all three elsewhere, so that several work trees or runs never share a prefix.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root="${HVPELK_BUILD_ROOT:-$top/build}"
build32="$root/i686"
build64="$root/x86_64"
export WINEPREFIX="$root/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY ftp_proxy

# Tools are looked up only once scripts/setup may have installed them: a script calls find_tools after
# setup (dev-test, which never installs anything, before its first build). Each missing tool is one line
# and the script exits with status 1.
# The 64-bit loader is named explicitly: once wine32 is installed, Debian's `wine` script prefers the
# 32-bit loader for every program, and WINELOADER tells Wine which loader starts further processes.
# Only files are looked up (type -P), never the wrapper function below.
wine64_loader=
find_tools() {
  local missing=0 tool
  wine64_loader=/usr/lib/wine/wine64
  [ -x "$wine64_loader" ] || wine64_loader=$(type -P wine64 || true)
  if [ -z "$wine64_loader" ]; then
    echo "wine64 loader not found after setup: neither /usr/lib/wine/wine64 nor wine64 on PATH (package wine64)" >&2
    missing=1
  fi
  for tool in cmake ctest wineserver i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
    type -P "$tool" >/dev/null || { echo "$tool not found after setup (run scripts/setup as root)" >&2; missing=1; }
  done
  [ $missing -eq 0 ] || exit 1
  export WINELOADER="$wine64_loader"
}
wine64() { "${wine64_loader:?find_tools was not called}" "$@"; }

# The 32-bit loader runs the i686 programs in the same WoW64 prefix. Where the kernel refuses 32-bit code,
# qemu takes them through binfmt_misc (scripts/setup registers it); can_run_32bit tells whether that works.
wine32_loader=/usr/lib/wine/wine
can_run_32bit() { [ -x "$wine32_loader" ] && "$wine32_loader" --version >/dev/null 2>&1; }

configure() { # arch, folder, Wine loader that runs its programs
  local cache="$2/CMakeCache.txt"
  [ -f "$cache" ] && grep -qE "^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]+=$3$" "$cache" && return 0
  cmake -S "$top" -B "$2" --toolchain "$top/cmake/toolchain-$1.cmake" -DHVPELK_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CROSSCOMPILING_EMULATOR="$3" >/dev/null
}
build_64() {
  configure x86_64 "$build64" "$wine64_loader"
  cmake --build "$build64" -j "$(nproc)"
}
build_32() {
  configure i686 "$build32" "$wine32_loader"
  cmake --build "$build32" -j "$(nproc)"
}

# Creates the prefix on first use and keeps one wineserver alive until the calling script exits.
start_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the private prefix $WINEPREFIX"
    wine64 wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p 2>/dev/null || true  # an already running server is fine
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # Start the prefix's background services now, detached from our output: started by the first test
  # instead, they would inherit its pipes and keep CTest waiting for end-of-file.
  wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# hvservice, the substitute distribution service, for the demo and the kit test. start_service runs it in
# the background (through the Wine loader of its bitness) on a free port with a catalog folder, its log and
# stored reports in a work folder and any further hvservice options, waits until it listens (at most 10 s),
# and sets service_pid and service_url. use_service points the library at it in the prefix's registry, in
# the 64-bit view or, with 32, the view a 32-bit hvpelk.dll reads (HKLM\SOFTWARE\Wow6432Node\...);
# stop_service stops it and removes that registry key again from both views.
service_key='HKLM\SOFTWARE\Halvorn\Trellin'
service_pid=
# The Wine loader that runs a Windows program: the 32-bit one for an i386 image.
loader_of() {
  local header
  header=$(i686-w64-mingw32-objdump -f "$1" 2>/dev/null || true)
  if grep -q 'file format pei-i386' <<<"$header"; then echo "$wine32_loader"; else echo "$wine64_loader"; fi
}
start_service() { # hvservice.exe, catalog folder, work folder, further hvservice options
  "$(loader_of "$1")" "$1" --catalog "$(wine64 winepath -w "$2" 2>/dev/null)" --port 0 \
    --reports "$(wine64 winepath -w "$3/reports.xml" 2>/dev/null)" "${@:4}" >"$3/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 1 200); do
    grep -qs 'listening on' "$3/service.log" && break
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.05
  done
  service_url=$(grep -os 'http://[^ ]*' "$3/service.log" | head -n 1 | tr -d '\r' || true)
  [ -n "$service_url" ] || { echo "hvservice did not start:"; cat "$3/service.log"; return 1; }
}
use_service() { # [32: the 32-bit registry view]
  local view=/reg:${1:-64}
  wine64 reg add "$service_key" /v S_URL /t REG_SZ /d "$service_url" /f "$view" >/dev/null
  wine64 reg add "$service_key" /v URL /t REG_SZ /d "$service_url" /f "$view" >/dev/null
}
stop_service() {
  [ -n "$service_pid" ] || return 0
  kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null || true
  service_pid=
  wine64 reg delete "$service_key" /f /reg:64 >/dev/null 2>&1 || true
  wine64 reg delete "$service_key" /f /reg:32 >/dev/null 2>&1 || true
}
