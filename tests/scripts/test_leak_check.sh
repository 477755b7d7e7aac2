#!/usr/bin/env bash
# Checks how the leak-check stage treats valgrind's outcomes, with stand-in
# valgrind programs on PATH that behave as the real one does on a CPU it
# cannot emulate, on a normal machine and on other failures.
#
#   tests/scripts/test_leak_check.sh BUILD_DIR WORK_DIR
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$1"
work="$2"
rm -rf "$work"
mkdir -p "$work/bin"

passes=0
failures=0
check() {
  local what="$1" expected="$2" actual="$3"
  if [ "$expected" = "$actual" ]; then
    echo "ok: $what"
    passes=$((passes + 1))
  else
    echo "FAILED: $what: expected '$expected', got '$actual'"
    failures=$((failures + 1))
  fi
}

# Writes a stand-in valgrind that logs LOG_TEXT to --log-file and then ends
# as MODE says: "sigill" kills itself with SIGILL, "exit N" exits with N,
# "run" runs the program and logs a clean leak summary (the sanitizer
# build's own leak check is left to the tests of the program's runs).
standin() {
  local mode="$1" log_text="$2"
  cat >"$work/bin/valgrind" <<STANDIN
#!/usr/bin/env bash
log=/dev/null
while [ \$# -gt 0 ] && [ "\${1#-}" != "\$1" ]; do
  case "\$1" in --log-file=*) log="\${1#--log-file=}" ;; esac
  shift
done
printf '%s\n' "$log_text" >"\$log"
case "$mode" in
  sigill) kill -ILL \$\$ ;;
  run) ASAN_OPTIONS=detect_leaks=0 "\$@"; status=\$?
       echo "==1== definitely lost: 0 bytes in 0 blocks" >>"\$log"
       exit \$status ;;
  exit*) exit ${mode#exit } ;;
esac
STANDIN
  chmod +x "$work/bin/valgrind"
}

readonly kRdtscpLog='==7== Memcheck, a memory error detector
vex amd64->IR: unhandled instruction bytes: 0xF 0x1 0xF9 0x48 0xC1 0xE2
valgrind: Unrecognised instruction at address 0x16c05522.
==7==    at 0x16C05522: hwy::platform::TimerResolution() (in /usr/lib/x86_64-linux-gnu/libhwy.so.1.0.3)
==7==    by 0x4005A2D: call_init (dl-init.c:74)
==7== 
==7== Process terminating with default action of signal 4 (SIGILL)'

program="$build/app/of_ulk"
export PATH="$work/bin:$PATH"

# The CPU valgrind cannot emulate: the probe and the whole stage skip.
standin sigill "$kRdtscpLog"
line=$("$root/scripts/valgrind_probe" "$work/probe.log" "$program" /?)
check "probe status on an unemulated instruction" 77 "$?"
check "probe names the library and the instruction" yes \
  "$(grep -q 'libhwy.so.1.0.3 executes RDTSCP' <<<"$line" && echo yes)"
out=$(LEAK_CHECK_WORK="$work/stage" "$root/scripts/leak_check" \
      --prebuilt "$build" 2>&1)
check "leak check stage status on an unemulated instruction" 77 "$?"
check "leak check stage says why in one line" 1 \
  "$(grep -c '^Leak check skipped: valgrind cannot run programs here' <<<"$out")"

# SIGILL without valgrind's own diagnosis is the program's fault: it fails.
standin sigill "==7== Process terminating with default action of signal 4"
"$root/scripts/valgrind_probe" "$work/probe.log" "$program" /? >/dev/null
check "probe status on a program's own SIGILL" 1 "$?"

# Any other valgrind failure fails too.
standin "exit 1" "valgrind: failed to start tool 'memcheck'"
"$root/scripts/valgrind_probe" "$work/probe.log" "$program" /? >/dev/null
check "probe status when valgrind cannot start" 1 "$?"
LEAK_CHECK_WORK="$work/stage" "$root/scripts/leak_check" --prebuilt "$build" \
  >/dev/null 2>&1
check "leak check stage status when valgrind cannot start" 1 "$?"

# A working valgrind: the probe passes and the stage runs its three runs.
standin run "==1== Memcheck, a memory error detector"
"$root/scripts/valgrind_probe" "$work/probe.log" "$program" /? >/dev/null
check "probe status when valgrind works" 0 "$?"
out=$(LEAK_CHECK_WORK="$work/stage" "$root/scripts/leak_check" \
      --prebuilt "$build" 2>&1)
check "leak check stage status when valgrind works" 0 "$?"
check "leak check stage reports its three runs" 3 \
  "$(grep -c 'definitely lost: 0 bytes' <<<"$out")"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
