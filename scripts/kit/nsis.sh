# Sourced by scripts/test-kit: the NSIS example and the NSIS test of hvpelk.nsh (tests/kit/), built by
# makensis from the unpacked win32 kit and run silently through the 32-bit Wine loader against the win32
# kit's hvservice.

# The example as an author builds it, in the kit; the include's test from the source tree, in $work.
# Warnings are errors.
build_nsis() {
  makensis -V2 -WX "$kit32/examples/nsis/setup.nsi" >"$work/makensis.log" 2>&1 ||
    { cat "$work/makensis.log"; fail "makensis could not build the NSIS example"; }
  installer="$kit32/examples/nsis/quillan-notes-setup.exe"
  mkdir -p "$work/nsh"
  cp "$top/tests/kit/hvpelk_nsh.nsi" "$work/nsh/"
  makensis -V2 -WX -DHVPELK_KIT="$kit32" "$work/nsh/hvpelk_nsh.nsi" >"$work/makensis.log" 2>&1 ||
    { cat "$work/makensis.log"; fail "makensis could not build the test of hvpelk.nsh"; }
  echo "test-kit: makensis built the NSIS example and the test of hvpelk.nsh"
  inst="$work/inst"
  log="$work/setup.log"
  mkdir -p "$inst" "$work/nsis"
}

# Runs the installer silently (options before /D=, which NSIS takes last), checks its exit code, and leaves
# its log in $log with Unix line ends.
setup() { # expected exit code, further installer options
  local want=$1 code=0
  shift
  rm -f "$log"
  "$wine32_loader" "$installer" /S "$@" "/LOG=$(winpath "$log")" "/D=$(winpath "$inst")" || code=$?
  [ -f "$log" ] || fail "the installer wrote no log (exit code $code)"
  sed -i 's/\r$//' "$log"
  [ "$code" -eq "$want" ] || { cat "$log"; fail "the installer ended with $code, not $want"; }
}
logged() { grep -m 1 "^$1: " "$log" | sed "s/^$1: //" || true; }  # a line of the log, without its key
expect_log() { # line, what it says
  grep -qxF "$1" "$log" || { cat "$log"; fail "$2: the log lacks \"$1\""; }
}

# The include's test: every macro's outputs, the registers, bad arguments, and memory over 5,000 text reads.
check_nsh() {
  start_service "$kit32/bin/hvservice.exe" "$kit32/examples/catalog" "$work/nsis"
  use_service 32
  "$wine32_loader" "$work/nsh/hvpelk-nsh-test.exe" "/LOG=$(winpath "$work/nsh.log")" ||
    fail "the test of hvpelk.nsh ended with an error"
  sed -i 's/\r$//' "$work/nsh.log"
  if grep -q '^FAIL' "$work/nsh.log" || ! grep -q '^checks done: ' "$work/nsh.log"; then
    cat "$work/nsh.log"; fail "the test of hvpelk.nsh"
  fi
  echo "test-kit: hvpelk.nsh: $(sed -n 's/^checks done: //p' "$work/nsh.log") checks passed;" \
    "$(grep '^memory growth' "$work/nsh.log")"
}

# A fresh download, the resume of a cut file and a complete file, against the service check_nsh started;
# the service stores three reports of finished downloads.
check_nsis_silent() {
  local notes="$kit32/examples/catalog/quillan-notes-2.1-en.txt" file="$inst/quillan-notes-2.1-en.txt" size
  size=$(stat -c %s "$notes")
  setup 0
  cmp "$file" "$notes" || fail "NSIS fresh download: the file differs from the catalog's"
  expect_log "result: complete" "NSIS fresh download"
  expect_log "end: $size of $size bytes; $size bytes received in this run" "NSIS fresh download"
  expect_log "report: PELK_S_OK" "NSIS fresh download"
  echo "test-kit: NSIS fresh download: $(logged end); report $(logged report)"

  head -c $((size / 2)) "$notes" >"$file"
  setup 0
  cmp "$file" "$notes" || fail "NSIS resume: the file differs from the catalog's"
  expect_log "end: $size of $size bytes; $((size - size / 2)) bytes received in this run" "NSIS resume"
  grep -q -- "-> 206 bytes $((size / 2))-$((size - 1))/$size" "$work/nsis/service.log" ||
    fail "NSIS resume: no ranged answer"
  echo "test-kit: NSIS resume of a cut file: $(logged target | sed 's/.*, //'); $(logged end)"

  setup 0
  cmp "$file" "$notes" || fail "NSIS complete file: the file changed"
  expect_log "end: $size of $size bytes; 0 bytes received in this run" "NSIS complete file"
  echo "test-kit: NSIS complete file: $(logged end)"
  stop_service
  local reports finished
  reports=$(grep -c '==== report received' "$work/nsis/reports.xml" || true)
  finished=$(grep -o '0x40002005' "$work/nsis/reports.xml" | wc -l)
  [ "$reports" -eq 3 ] && [ "$finished" -eq 3 ] ||
    fail "the service stored $reports reports with $finished finished downloads, not 3 and 3"
}

# A cancel mid-way needs a download that lasts: 256 KiB paced at 64 KiB a second by the service. The
# installer presses Cancel once 16 KiB have arrived; run again, it resumes the partial file.
check_nsis_cancel() {
  local paced="$work/paced" big="$inst/quillan-notes-2.2-en.bin" kept
  make_paced_catalog "$paced"
  start_service "$kit32/bin/hvservice.exe" "$paced" "$paced" --rate 65536
  use_service 32
  setup 1 /CANCELAT=16384
  expect_log "result: cancelled" "NSIS cancel"
  kept=$(stat -c %s "$big")
  [ "$kept" -gt 0 ] && [ "$kept" -lt 262144 ] || fail "NSIS cancel: $kept bytes kept, not part of the file"
  cmp -n "$kept" "$big" "$paced/quillan-notes-2.2-en.bin" || fail "NSIS cancel: the partial file differs"
  echo "test-kit: NSIS cancel mid-way: exit code 1; Cancel pressed ($(logged cancel)); ended at $(logged end);" \
    "$kept bytes kept"
  setup 0
  cmp "$big" "$paced/quillan-notes-2.2-en.bin" || fail "NSIS resume after the cancel: the file differs"
  expect_log "target: $(winpath "$big"), $kept bytes there before" "NSIS resume after the cancel"
  echo "test-kit: NSIS resume after the cancel: $(logged end)"
  stop_service
  grep -q '0x40002006' "$paced/reports.xml" && grep -q '0x40002005' "$paced/reports.xml" ||
    fail "the paced service did not store the cancelled and the finished download's statistics"
  echo "test-kit: NSIS reports: 3 finished downloads, then a cancelled and a finished one, stored by hvservice"
}
