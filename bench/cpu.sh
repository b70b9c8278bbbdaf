# Sourced by the benchmarks: CPU time from /proc, and waiting for a quiet
# machine before a measurement.
tick_ms=$(( 1000 / $(getconf CLK_TCK) ))
# utime + stime of a process, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Time the hypervisor ran something else while this machine's CPUs had work:
# a round that lost much of it measured the host, not the code.
steal_ticks() { awk '/^cpu / { print $9 }' /proc/stat; }
# Until the machine's CPUs are busy under 5 % of one for a second (60 s at most).
busy_ticks() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat; }
wait_quiet() {
  local end=$((SECONDS + 60)) b
  while [ $SECONDS -lt $end ]; do
    b=$(busy_ticks)
    sleep 1
    [ $(( ($(busy_ticks) - b) * tick_ms )) -ge 50 ] || return 0
  done
}
