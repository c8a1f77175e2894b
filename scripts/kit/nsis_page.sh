# Sourced by scripts/test-kit: the NSIS example with its window, as a person meets it. It runs through the
# 32-bit Wine loader under Xvfb, where Wine's X11 driver shows real windows; the page's controls are found
# through Wine's window tree (page-probe, tests/kit/page_probe.c: texts, places, the progress bar's
# position), clicked with xdotool, and photographed with ImageMagick's import.

# Starts a display of its own (Xvfb picks a free number and writes it to the descriptor it is given). It
# must come before the first Wine program: Wine's desktop process starts with the first program that uses
# windows and keeps its display driver, which every later program takes over, so a desktop started without
# a display would leave the page without windows.
start_display() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  wait_for "Xvfb to start" 10 test -s "$work/display"
  export DISPLAY=":$(head -n 1 "$work/display")"
}
# What a Windows desktop brings: Wine's own fonts (Tahoma for dialogs, Marlett for the caption buttons;
# this Wine loads fonts only from the prefix's Fonts folder and the system's font folders), 96 DPI, and
# windows framed by Wine itself, as no window manager runs. Builds page-probe.
prepare_page_runs() {
  cp /usr/share/wine/fonts/{tahoma,tahomabd,marlett}.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null
  wine64 reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
  probe="$work/page-probe.exe"
  x86_64-w64-mingw32-gcc-posix -std=c11 -O2 -Wall -Wextra -Werror -municode "$top/tests/kit/page_probe.c" -o "$probe"
}
stop_display() {
  [ -n "${xvfb_pid:-}" ] || return 0
  kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
}

# Runs the command until it succeeds, at most the given seconds; fails naming what was waited for.
wait_for() { # what, seconds, command...
  local what=$1 end=$((SECONDS + $2))
  shift 2
  until "$@"; do
    [ $SECONDS -lt $end ] || fail "waited in vain for $what"
    sleep 0.1
  done
}

# The installer's window as page-probe sees it, in $work/page.txt; false while there is none.
probe_page() { wine64 "$probe" "Quillan Notes Setup" >"$work/page.txt" 2>/dev/null; }
# True when a line of the window's description matches the extended regular expression.
page_shows() { probe_page && grep -qE "$1" "$work/page.txt"; }
# Waits at most the given seconds until the window shows a line that matches; on failure prints the
# window as last seen and whether the installer had ended.
page_wait() { # what, seconds, extended regular expression
  local end=$((SECONDS + $2))
  until page_shows "$3"; do
    if [ $SECONDS -ge $end ]; then
      echo "test-kit: the installer's window as last seen:"
      cat "$work/page.txt"
      if [ -s "$work/page.code" ]; then echo "test-kit: the installer had ended with $(cat "$work/page.code")"; fi
      fail "waited in vain for $1"
    fi
    sleep 0.1
  done
}
bar_position() { awk '$1 == "progress" {print $7}' "$work/page.txt"; }
bar_reaches() { probe_page && [ "$(bar_position)" -ge "$1" ]; }  # position, 0 to 1000
# The text of the first label that matches the extended regular expression.
label() {
  awk -v text="$1" '$1 == "control" && $2 == "Static" {
      label = $0; for (i = 0; i < 8; i++) sub(/^[^ ]+ /, "", label); if (label ~ text) { print label; exit } }' "$work/page.txt"
}

# Clicks the middle of the enabled button whose text matches, as the page-probe last saw it.
click() { # button text (extended regular expression)
  local x y width height
  read -r x y width height < <(awk -v text="$1" '$1 == "control" && $2 == "Button" && $8 == "enabled" {
      label = $0; for (i = 0; i < 8; i++) sub(/^[^ ]+ /, "", label); if (label ~ text) { print $4, $5, $6, $7; exit } }' \
    "$work/page.txt") || fail "no enabled button \"$1\" on the page"
  xdotool mousemove $((x + width / 2)) $((y + height / 2)) click 1
}

# The window alone, from a screenshot of the whole display, without metadata that changes with each run.
screenshot() { # PNG file
  local x y width height
  read -r x y width height < <(awk '$1 == "window" {print $2, $3, $4, $5}' "$work/page.txt")
  import -window root "$work/screen.png"
  convert "$work/screen.png" -crop "${width}x${height}+${x}+${y}" +repage -strip "$1"
}

# Starts the installer with its window, writing $log, and clicks Next on its first page (the folder, given
# by /D=); its exit code goes to $work/page.code when it ends.
start_page_run() {
  rm -f "$log" "$work/page.code"
  ("$wine32_loader" "$installer" "/LOG=$(winpath "$log")" "/D=$(winpath "$inst")" && code=0 || code=$?
   echo "$code" >"$work/page.code") &
  page_wait "the installer's first page" 60 '^control Button 1 .* enabled .*Next'
  click 'Next'
}
# Goes on from the download page (Next, now enabled) to the end (Close) as a person does, and checks the
# exit code the installer ends with.
finish_page_run() { # expected exit code
  page_wait "Next to be enabled" 10 '^control Button 1 .* enabled .*Install'
  click 'Install'
  page_wait "the installer's last page" 30 '^control Button 1 .* enabled .*Close'
  click 'Close'
  wait_for "the installer to end" 30 test -s "$work/page.code"
  sed -i 's/\r$//' "$log"
  [ "$(cat "$work/page.code")" -eq "$1" ] || { cat "$log"; fail "the installer ended with $(cat "$work/page.code"), not $1"; }
}

# The page against a paced service (4 MiB at 512 KiB a second): the bar rises while receiving; a screenshot
# mid-download (with HVPELK_PAGE_SCREENSHOT=FILE also copied there); Cancel clicked stops the download and
# keeps the partial file; run again, the page resumes it to the end.
check_nsis_page() {
  local paced="$work/page" size=4194304 big="$inst/quillan-notes-2.2-en.bin" first second kept phase shot
  make_paced_catalog "$paced" "$size"
  start_service "$kit32/bin/hvservice.exe" "$paced" "$paced" --rate 524288
  use_service 32
  rm -f "$big"
  start_page_run
  page_wait "the page to receive" 60 '^control Static .*Receiving the file'
  first=$(bar_position)
  # The screenshot a third of the way, once the rate and the time left are measured.
  wait_for "the bar to rise" 30 bar_reaches 330
  page_wait "the rate and the time left" 30 '^control Static .*/s, (about|a few) .* left'
  shot="$work/nsis-page.png"
  screenshot "$shot"
  second=$(bar_position)
  [ "$second" -gt "$first" ] || fail "NSIS page: the bar stayed at $first while receiving"
  [ "$second" -lt 900 ] || fail "NSIS page: the download ended before Cancel could be clicked"
  click 'Cancel download'
  page_wait "the page to show the cancel" 30 '^control Static .* Cancelled\. '
  finish_page_run 1
  grep -qxF "result: cancelled" "$log" || { cat "$log"; fail "NSIS page: the log lacks the cancel"; }
  phase=$(sed -n 's/^phase: \([A-Z_]*\),.*/\1/p' "$log" | tail -n 1)
  kept=$(stat -c %s "$big")
  [ "$kept" -gt 0 ] && [ "$kept" -lt "$size" ] || fail "NSIS page: $kept bytes kept, not part of the file"
  cmp -n "$kept" "$big" "$paced/quillan-notes-2.2-en.bin" || fail "NSIS page: the partial file differs"
  echo "test-kit: NSIS page: the bar rose from $((first / 10))% to $((second / 10))% while receiving;" \
    "Cancel clicked ($(logged cancel)); phase after it $phase; $kept bytes kept; exit code 1"
  if [ -n "${HVPELK_PAGE_SCREENSHOT:-}" ]; then cp "$shot" "$HVPELK_PAGE_SCREENSHOT"; fi

  start_page_run
  page_wait "the page to end" 60 '^control Static .* Complete and verified: '
  finish_page_run 0
  cmp "$big" "$paced/quillan-notes-2.2-en.bin" || fail "NSIS page, run again: the file differs"
  expect_log "target: $(winpath "$big"), $kept bytes there before" "NSIS page, run again"
  grep -q -- "-> 206 bytes $kept-$((size - 1))/$size" "$paced/service.log" || fail "NSIS page: no ranged answer"
  echo "test-kit: NSIS page run again: resumed from $kept bytes, $(logged end); exit code 0"
  stop_service
}

# A connection cut once (the service ends the first body after 3 MiB of the page's 4 MiB): the page says
# it tries again and resumes the partial file by itself, to the end.
check_nsis_retry() {
  local paced="$work/page" cut=3145728 size=4194304 big="$inst/quillan-notes-2.2-en.bin" attempt
  mkdir -p "$work/retry"
  start_service "$kit32/bin/hvservice.exe" "$paced" "$work/retry" --rate 524288 --cut-once "$cut"
  use_service 32
  rm -f "$big"
  start_page_run
  page_wait "the page to show the second attempt" 60 '^control Static .*\(attempt 2 of 4\)'
  attempt=$(label 'attempt 2 of 4')
  page_wait "the page to end" 60 '^control Static .* Complete and verified: '
  finish_page_run 0
  cmp "$big" "$paced/quillan-notes-2.2-en.bin" || fail "NSIS retry: the file differs"
  expect_log "retry: PELK_E_CONNECTION at $cut of $size bytes; attempt 2 of 4 in 1 s" "NSIS retry"
  expect_log "resume: attempt 2 of 4, from $cut bytes" "NSIS retry"
  grep -q "cut after $cut bytes" "$work/retry/service.log" && 
    grep -q -- "-> 206 bytes $cut-$((size - 1))/$size" "$work/retry/service.log" ||
    fail "NSIS retry: the service did not cut the body once and answer the resume"
  echo "test-kit: NSIS retry: the service cut the body at $cut bytes; $(logged retry); the page showed" \
    "\"$attempt\"; $(logged end); exit code 0"
  stop_service
}
