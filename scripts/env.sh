# Sourced by the scripts: the build folders and the private Wine prefix of this checkout.
# Never touches the user's own ~/.wine; proxies from the environment are dropped for the run.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build32="$top/build/i686"
build64="$top/build/x86_64"
export WINEPREFIX="$top/build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY ftp_proxy

build_all() {
  cmake --preset i686 >/dev/null
  cmake --build --preset i686 -j "$(nproc)"
  cmake --preset x86_64 >/dev/null
  cmake --build --preset x86_64 -j "$(nproc)"
}

# Creates the prefix on first use and keeps one wineserver alive until the calling script exits.
start_wine() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the private prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p 2>/dev/null || true  # an already running server is fine
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # Start the prefix's background services now, detached from our output: started by the first test
  # instead, they would inherit its pipes and keep CTest waiting for end-of-file.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
