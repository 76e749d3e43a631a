# Every case of the kernel test, run inside the virtual machine. Each prints
# "QVK-CASE NAME PASS|FAIL [what]"; QVK-JSON lines carry -json output for the
# host to parse, QVK-TIME lines the figures.
Q=/bin/quorvel
G=/bin/gadget
USB=-usb=5e1a:0001
upload_options=  # more options for quorvel in upload

result() { echo "QVK-CASE $1 $2 ${3:-}"; }
show() { sed "s/^/QVK-DETAIL $1: /" "$2"; }

# start NAME UDC SERIAL [gadget options]: a bootloader gadget; waits until
# the host lists its hidraw node (unless it appears late).
start() {
  local name=$1 udc=$2 serial=$3
  shift 3
  $G "$name" "$udc" "$serial" "/tmp/$name.flash" "$@" >"/tmp/$name.log" 2>&1 &
  eval "pid_$name=$!"
  case " $* " in *" --appear-after-ms "*) return ;; esac
  for i in $(seq 50); do
    $Q -list 2>/dev/null | grep -q "	$serial	" && return
    sleep 0.1
  done
  echo "QVK-DETAIL $name: never listed"
}

# stop NAME: ends the gadget and waits until it has removed itself.
stop() {
  eval "kill -TERM \$pid_$1; wait \$pid_$1"
}

# frames NAME: the reports that the gadget took.
frames() { sed -n "s/^gadget $1 frames \([0-9]*\) errors .*/\1/p" "/tmp/$1.log"; }
errors() { sed -n "s/^gadget $1 frames [0-9]* errors \([0-9]*\) .*/\1/p" "/tmp/$1.log"; }

# same_flash NAME BIN: the gadget's flash starts with the image, byte-exact,
# whole blocks: the bytes of a block that the file left out must be 0xFF
# (BIN.blocks is the image padded so).
same_flash() { cmp -n "$(wc -c <"${2%.bin}.blocks")" "/tmp/$1.flash" "${2%.bin}.blocks" >/dev/null; }

# ends_with_event FILE EVENT: the -json stream's last line is that event.
ends_with_event() { tail -n 1 "$1" | grep -q "\"event\":\"$2\""; }

json_lines() { sed "s/^/QVK-JSON $1 /" "$2"; }

# upload CASE MCU HEX [gadget options]: one board, flashed byte-exact.
upload() {
  local name=$1 mcu=$2 hex=$3
  shift 3
  start g "dummy_udc.0" "QVK-0001" "$@"
  $Q -json $upload_options -mmcu=$mcu $USB "/hex/$hex.hex" >/tmp/out 2>/tmp/err
  status=$?
  stop g
  json_lines "$name" /tmp/out
  if [ $status = 0 ] && [ "$(errors g)" = 0 ] && same_flash g "/hex/$hex.bin" && ends_with_event /tmp/out done; then
    result "$name" PASS "$(frames g) reports"
  else
    result "$name" FAIL "status $status, $(frames g) reports, $(errors g) errors"
    show "$name" /tmp/err
    show "$name" /tmp/g.log
  fi
  sed -n "s/^gadget g frames \([0-9]*\) errors [0-9]* gap-us \([0-9]*\)/QVK-TIME $name gap-us \2/p" /tmp/g.log
}

case_list() {
  start g "dummy_udc.0" "QVK-0001"
  start h "dummy_udc.1" "QVK-0002"
  $Q -list $USB >/tmp/list 2>&1
  $Q -list -json $USB >/tmp/json 2>&1
  stop g
  stop h
  json_lines list-json /tmp/json
  # usbhid names a device by its manufacturer and product strings.
  name="Quorvel Test Quorvel Test HID Bootloader"
  if grep -q "^/dev/hidraw[0-9]	5e1a:0001	match	$name	QVK-0001	1-1$" /tmp/list &&
    grep -q "^/dev/hidraw[0-9]	5e1a:0001	match	$name	QVK-0002	2-1$" /tmp/list &&
    grep -q '"serial":"QVK-0002"' /tmp/json && grep -q '"location":"2-1"' /tmp/json; then
    result list PASS
  else
    result list FAIL
    show list /tmp/list
    show list /tmp/json
  fi
}

# pick CASE OPTION WANTED OTHER: of two boards, only WANTED is written.
case_pick() {
  start g "dummy_udc.0" "QVK-0001"
  start h "dummy_udc.1" "QVK-0002"
  $Q -mmcu=atmega32u4 $USB "$2" /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  stop h
  if [ $status = 0 ] && same_flash "$3" /hex/blink.bin && [ "$(frames "$4")" = 0 ]; then
    result "$1" PASS
  else
    result "$1" FAIL "status $status, $3 took $(frames "$3"), $4 took $(frames "$4")"
    show "$1" /tmp/err
  fi
}

case_all() {
  start g "dummy_udc.0" "QVK-0001"
  start h "dummy_udc.1" "QVK-0002"
  # The example firmware: under emulation on a busy host a report now and
  # then takes longer than its 50 ms, and two long uploads at once would
  # meet that more often than the single ones above.
  $Q -json -all=2 -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  stop h
  json_lines all /tmp/out
  if [ $status = 0 ] && same_flash g /hex/blink.bin && same_flash h /hex/blink.bin &&
    ends_with_event /tmp/out summary && tail -n 1 /tmp/out | grep -q '"ok":true'; then
    result all PASS
  else
    result all FAIL "status $status"
    show all /tmp/err
  fi
}

# A board that stops reading: the run ends at the report's limit, not when
# the kernel gives up on the write (5 s), and the board stays taken by the
# run's writer process meanwhile.
case_stall() {
  start g "dummy_udc.0" "QVK-0001" --stall-after 10
  $G --time /tmp/stall $Q -mmcu=atmega32u4 $USB /hex/image24.hex >/tmp/time
  $Q -list >/tmp/held
  sleep 6
  $Q -list >/tmp/free
  stop g
  read -r _ status _ exit_ms _ eof_ms _ message_ms </tmp/time
  echo "QVK-TIME stall exit-ms $exit_ms eof-ms $eof_ms message-ms $message_ms"
  # The run ends, streams and all, within 100 ms of its time-out message,
  # though the kernel holds the write for 5 s more.
  if [ "$status" = 1 ] && grep -q "failed: no answer within 50 ms" /tmp/stall.err && [ "$message_ms" -ge 0 ] &&
    [ $((eof_ms - message_ms)) -le 100 ] && [ $((exit_ms - message_ms)) -le 100 ] &&
    grep -q "	busy$" /tmp/held && ! grep -q "	busy$" /tmp/free; then
    result stall PASS "message after $message_ms ms, exit after $exit_ms ms, streams ended after $eof_ms ms"
  else
    result stall FAIL "status $status, exit after $exit_ms ms"
    show stall /tmp/stall.err
    show stall /tmp/held
    show stall /tmp/free
  fi
}

# Under -all, one board stalls: the other is programmed, and the run's end
# does not wait for the kernel to give up on the stalled board's write.
case_all_stall() {
  start g "dummy_udc.0" "QVK-0001" --stall-after 10
  start h "dummy_udc.1" "QVK-0002"
  $G --time /tmp/allstall $Q -all=2 -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/time
  stop g
  stop h
  read -r _ status _ exit_ms _ eof_ms _ message_ms </tmp/time
  echo "QVK-TIME all-stall exit-ms $exit_ms eof-ms $eof_ms message-ms $message_ms"
  if [ "$status" = 1 ] && grep -q "^1 of 2 boards failed" /tmp/allstall.err && same_flash h /hex/blink.bin &&
    [ "$eof_ms" -lt 3000 ]; then
    result all-stall PASS "exit after $exit_ms ms"
  else
    result all-stall FAIL "status $status, exit after $exit_ms ms"
    show all-stall /tmp/allstall.out
    show all-stall /tmp/allstall.err
  fi
}

case_unplug() {
  start g "dummy_udc.0" "QVK-0001" --unplug-after 20
  $G --time /tmp/unplug $Q -mmcu=atmega32u4 $USB /hex/image24.hex >/tmp/time
  stop g
  read -r _ status _ exit_ms _ eof_ms _ </tmp/time
  if [ "$status" = 1 ] && grep -q "The board went away: plug it in again" /tmp/unplug.err; then
    result unplug PASS "$(sed -n "s/.*failed: \([^.]*\)\..*/\1/p" /tmp/unplug.err)"
  else
    result unplug FAIL "status $status"
    show unplug /tmp/unplug.err
  fi
}

case_wait() {
  start g "dummy_udc.0" "QVK-0001" --appear-after-ms 1500
  $Q -w -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  if [ $status = 0 ] && same_flash g /hex/blink.bin; then
    result wait PASS
  else
    result wait FAIL "status $status"
    show wait /tmp/err
  fi
  $G --time /tmp/none $Q -w=1 -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/time
  read -r _ status _ exit_ms _ eof_ms _ </tmp/time
  if [ "$status" = 1 ] && [ "$exit_ms" -ge 1000 ] && [ "$exit_ms" -lt 2000 ] &&
    grep -q "appeared in 1 s of waiting" /tmp/none.err; then
    result wait-gives-up PASS "after $exit_ms ms"
  else
    result wait-gives-up FAIL "status $status after $exit_ms ms"
    show wait-gives-up /tmp/none.err
  fi
}

# For bench/run: quorvel's 57 KiB upload against a plain writer replaying
# the same reports with exact pauses, interleaved, and the gadget's time
# between two reports.
case_bench() {
  for run in 1 2 3 4 5; do
    for program in quorvel reference; do
      start g "dummy_udc.0" "QVK-0001"
      if [ $program = quorvel ]; then
        $G --time /tmp/bench $Q -mmcu=atmega64u4 $USB /hex/image57.hex >/tmp/time
      else
        $G --time /tmp/bench /bin/reference_upload -mmcu=atmega64u4 /dev/hidraw0 /hex/image57.hex >/tmp/time
      fi
      stop g
      read -r _ status _ exit_ms _ eof_ms _ </tmp/time
      same_flash g /hex/image57.bin || status="$status, not byte-exact"
      [ "$status" = 0 ] || show "bench-$program" /tmp/bench.err
      echo "QVK-TIME bench $program ms $exit_ms status $status $(sed -n 's/^gadget g frames .* gap-us /gap-us /p' /tmp/g.log)"
    done
  done
}

if [ -f /bench ]; then
  case_bench
  exit
fi
# A gadget without an OUT endpoint gets each report as a SET_REPORT request.
# The gadget driver keeps only the last unread one, so a slow reader loses
# some: this case proves that every write is delivered (the run succeeds),
# and the reports that did reach the gadget are counted, not checked.
case_set_report() {
  start g "dummy_udc.0" "QVK-0001" --set-report
  $Q -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  if [ $status = 0 ] && [ "$(frames g)" -gt 0 ]; then
    result set-report PASS "$(frames g) of 17 reports read by the gadget"
  else
    result set-report FAIL "status $status"
    show set-report /tmp/err
  fi
}

# The running board's serial port (CDC-ACM): -touch= resets it, it comes
# back as the bootloader, and is flashed.
case_touch() {
  $G t "dummy_udc.0" "QVK-0001" /tmp/t.flash --acm >/tmp/t.log 2>&1 &
  pid_t=$!
  for i in $(seq 50); do
    [ -e /dev/ttyACM0 ] && break
    sleep 0.1
  done
  $Q -touch=/dev/ttyACM0 -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop t
  if [ $status = 0 ] && grep -q "^gadget t touched" /tmp/t.log && same_flash t /hex/blink.bin; then
    result touch PASS
  else
    result touch FAIL "status $status"
    show touch /tmp/err
    show touch /tmp/t.log
  fi
}

# -expect-app: the board re-enumerates as its application after
# START_APPLICATION, or stays in its bootloader.
case_expect_app() {
  start g "dummy_udc.0" "QVK-0001" --app
  $Q -json -expect-app=5e1a:0002 -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  json_lines expect-app /tmp/out
  if [ $status = 0 ] && same_flash g /hex/blink.bin && grep -q '"event":"application".*"product_id":"0002"' /tmp/out &&
    ends_with_event /tmp/out done; then
    result expect-app PASS "$(sed -n 's/.*"event":"application".*"seconds":\([0-9.]*\).*/\1/p' /tmp/out) s to the application"
  else
    result expect-app FAIL "status $status"
    show expect-app /tmp/err
    show expect-app /tmp/g.log
  fi
  start g "dummy_udc.0" "QVK-0001"
  $Q -expect-app -w=2 -mmcu=atmega32u4 $USB /hex/blink.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  if [ $status = 1 ] && same_flash g /hex/blink.bin &&
    grep -q "^The board is still in its bootloader 2 s after START_APPLICATION" /tmp/err; then
    result expect-app-stays PASS
  else
    result expect-app-stays FAIL "status $status"
    show expect-app-stays /tmp/err
  fi
}

# -boot: START_APPLICATION alone, and the application comes up.
case_boot() {
  start g "dummy_udc.0" "QVK-0001" --app
  $Q -boot -expect-app=5e1a:0002 $USB >/tmp/out 2>/tmp/err
  status=$?
  stop g
  if [ $status = 0 ] && [ "$(frames g)" = 1 ] && [ "$(errors g)" = 0 ] && grep -q "^Application 5e1a:0002" /tmp/err; then
    result boot PASS
  else
    result boot FAIL "status $status, $(frames g) reports, $(errors g) errors"
    show boot /tmp/err
    show boot /tmp/g.log
  fi
}

# -stamp=: the board's value in a block that the file leaves empty, its
# flash byte-exact; the value is in the state file before and in the log.
case_stamp() {
  start g "dummy_udc.0" "QVK-0001"
  rm -f /tmp/stamp.state /tmp/stamp.log
  $Q -json -stamp=0x7000,u32le -stamp-from=0x12345678 -stamp-state=/tmp/stamp.state -log=/tmp/stamp.log \
    -mmcu=atmega32u4 $USB /hex/image24.hex >/tmp/out 2>/tmp/err
  status=$?
  stop g
  json_lines stamp /tmp/out
  json_lines stamp /tmp/stamp.log
  if [ $status = 0 ] && [ "$(errors g)" = 0 ] &&
    cmp -n "$(wc -c </hex/image24.stamped)" /tmp/g.flash /hex/image24.stamped >/dev/null &&
    [ "$(cat /tmp/stamp.state)" = 305419897 ] && grep -q '"stamp":"305419896"' /tmp/stamp.log &&
    grep -q '"event":"device".*"stamp":"305419896"' /tmp/out; then
    result stamp PASS "$(frames g) reports"
  else
    result stamp FAIL "status $status, $(frames g) reports, $(errors g) errors"
    show stamp /tmp/err
    show stamp /tmp/stamp.state
  fi
}

case_stall
case_all_stall
case_unplug
case_list
upload example atmega32u4 blink
upload image24 atmega32u4 image24
upload image56 atmega64u4 image56
# 100 KiB, above 64 KiB: the gadget's flash is 128 KiB.
upload_options=-above64k
upload image100 at90usb1287 image100
upload_options=
case_pick serial -serial=QVK-0002 h g
case_pick location -location=1-1 g h
case_all
case_wait
case_set_report
case_touch
case_expect_app
case_boot
case_stamp
