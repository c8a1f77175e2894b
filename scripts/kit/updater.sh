# Sourced by scripts/test-kit: the C example (examples/updater), built from the unpacked x86_64 kit with
# find_package and the mingw cross compiler, and run under wine64 against the kit's hvservice.

build_updater() {
  cmake -S "$kit64/examples/updater" -B "$work/updater" --toolchain "$top/cmake/toolchain-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$kit64" >/dev/null
  cmake --build "$work/updater" >/dev/null
  grep -q 'DLL Name: hvpelk.dll' <<<"$(x86_64-w64-mingw32-objdump -p "$work/updater/updater.exe")" ||
    fail "updater.exe does not import hvpelk.dll"
}

# Runs the example into $target; its output goes to the terminal and to $work/run.log, a line per
# progress redraw.
updater() {
  wine64 "$work/updater/updater.exe" "$(winpath "$target")" | sed 's/\r$//; s/\r/\n/g' | tee "$work/run.log"
}

# A fresh download ends byte-identical, a cut file is resumed, a complete one receives nothing, and the
# service stores the three statistics reports.
check_updater_runs() {
  start_service "$kit64/bin/hvservice.exe" "$kit64/examples/catalog" "$work"
  use_service
  target="$work/download.txt"
  local expected="$kit64/examples/catalog/quillan-notes-2.1-en.txt" size reports
  updater
  cmp "$target" "$expected" || fail "the download differs from the catalog's file"
  grep -q 'received in this run' "$work/run.log" || fail "the first run did not finish"

  size=$(stat -c %s "$expected")
  head -c $((size / 2)) "$expected" >"$target"
  updater
  cmp "$target" "$expected" || fail "the resumed download differs from the catalog's file"
  grep -q "$((size / 2)) bytes are there from an earlier run" "$work/run.log" || fail "the cut file was not noticed"
  grep -q -- "-> 206 bytes $((size / 2))-$((size - 1))/$size" "$work/service.log" ||
    fail "no ranged answer for the resume"

  updater
  grep -q '; 0 bytes received in this run' "$work/run.log" || fail "the complete file was fetched again"
  cmp "$target" "$expected" || fail "the complete file changed"

  reports=$(grep -c '==== report received' "$work/reports.xml" || true)
  [ "$reports" -eq 3 ] || fail "the service stored $reports reports, not 3"
  grep -q "<corelib version=\"$version\">hvpelk</corelib>" "$work/reports.xml" ||
    fail "the reports do not carry the core library version $version"
  stop_service
}

# A connection cut once (the service ends the first body after 2000 bytes): the example tries again by
# itself and resumes the partial file to the end.
check_updater_retry() {
  local expected="$kit64/examples/catalog/quillan-notes-2.1-en.txt" size
  size=$(stat -c %s "$expected")
  mkdir -p "$work/retry64"
  start_service "$kit64/bin/hvservice.exe" "$kit64/examples/catalog" "$work/retry64" --cut-once 2000
  use_service
  target="$work/retried.txt"
  updater
  cmp "$target" "$expected" || fail "updater retry: the download differs from the catalog's file"
  grep -q "^updater: the connection broke off (0x80002001) at 2000 of $size bytes; attempt 2 of 4 in 1 s$" \
    "$work/run.log" || fail "updater retry: no retry after the cut"
  grep -q 'is complete and verified' "$work/run.log" || fail "updater retry: the download did not end"
  grep -q "cut after 2000 bytes" "$work/retry64/service.log" &&
    grep -q -- "-> 206 bytes 2000-$((size - 1))/$size" "$work/retry64/service.log" ||
    fail "updater retry: the service did not cut the body once and answer the resume"
  echo "test-kit: updater retry: the service cut the body at 2000 bytes;" \
    "$(sed -n 's/^updater: \(the connection broke off .*\)/\1/p' "$work/run.log"); resumed to the end"
  stop_service
}
