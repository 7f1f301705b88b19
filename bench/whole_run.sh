#!/usr/bin/env bash
# Times a whole conversion of a 256 MiB 16-bit stereo clip beside the cost of copying it.
#
#     bench/whole_run.sh [BUILD_DIR] [RUNS]
#
# Runs, alternating, RUNS times each (5 by default): `velto in out`, `cat in > out2` (the floor:
# the same bytes read and written) and, where sox is installed, `sox in out3 vol -1` (a peer
# making a per-sample pass). Prints the median wall time, CPU time and peak RSS of each, and
# the ratios velto/cat and sox/velto. Works in /dev/shm when it exists; cleans up after itself.
set -euo pipefail
build=${1:-build}
runs=${2:-5}
velto=$(realpath "$build/velto")
tone=$(realpath "$build/velto-tone")
[ -x "$velto" ] && [ -x "$tone" ] || { echo "build velto first: cmake --build $build" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }

base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/velto-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# 1521.7 s of 44.1 kHz 16-bit stereo is 256 MiB of samples.
"$tone" in.wav 1521.7
echo "clip: $(stat -c %s in.wav) bytes in $work"

tools=(velto cat)
command -v sox >/dev/null && tools+=(sox)

measure() {  # tool -> "wall cpu rss_kib"
  local start=$EPOCHREALTIME
  case $1 in
    velto) /usr/bin/time -f '%e %U %S %M' -o t.txt "$velto" in.wav out.wav >/dev/null 2>&1 ;;
    cat)   /usr/bin/time -f '%e %U %S %M' -o t.txt sh -c 'cat in.wav > out2.wav' ;;
    sox)   /usr/bin/time -f '%e %U %S %M' -o t.txt sox in.wav out3.wav vol -1 ;;
  esac
  local end=$EPOCHREALTIME
  awk -v w="$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')" \
    '{ printf "%s %.2f %s\n", w, $2 + $3, $4 }' t.txt
}

# One round to warm the page cache and the allocator, then the measured rounds.
for ((i = 0; i <= runs; i++)); do
  for t in "${tools[@]}"; do
    rm -f out.wav out2.wav out3.wav
    if ((i == 0)); then measure "$t" >/dev/null; else measure "$t" >> "$t.times"; fi
  done
done

median() {  # column file
  sort -g -k"$1","$1" "$2" | awk -v c="$1" '{ v[NR] = $c } END { print v[int((NR + 1) / 2)] }'
}

printf '\n%-6s %10s %10s %12s\n' tool wall_s cpu_s peak_rss_MiB
for t in "${tools[@]}"; do
  printf '%-6s %10s %10s %12.1f\n' "$t" "$(median 1 "$t.times")" "$(median 2 "$t.times")" \
    "$(awk -v k="$(median 3 "$t.times")" 'BEGIN { print k / 1024 }')"
done
v=$(median 1 velto.times); c=$(median 1 cat.times)
echo "(medians of $runs runs each, alternating)"
printf '\nvelto/cat wall: %.2f\n' "$(awk -v a="$v" -v b="$c" 'BEGIN { print a / b }')"
if [ -f sox.times ]; then
  s=$(median 1 sox.times)
  printf 'sox/velto wall: %.2f\n' "$(awk -v a="$s" -v b="$v" 'BEGIN { print a / b }')"
fi
