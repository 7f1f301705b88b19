#!/usr/bin/env bash
# Times whole conversions in a directory of your choice (tmpfs, a disk, ...), beside what the
# same bytes cost to copy durably, and a batch of short clips converted one process each.
#
#     bench/whole_run.sh [-b BUILD_DIR] [-r RUNS] [-s "SIZES_MIB"] [-n CLIPS] [-f FRAMES] [-p SECONDS] [-q] [-a BUILD_DIR] [-k] DIR
#
#   -b  where velto and velto-tone are built (default: build)
#   -r  measured runs of each command (default 7), after one warm-up round
#   -s  clip sizes in MiB of 16-bit stereo samples (default "16 256 1024"; "" for none)
#   -n  clips in the batch (default 1000; 0 for no batch)
#   -f  stereo frames in each clip of the batch (default 1024: 4 KiB of samples; 0 for a
#       44-byte file, the header alone, which shows the cost of starting the program)
#   -p  seconds of rest before each timed command (default 0)
#   -q  run each command's runs in a row, as a folder of recordings is converted, instead of
#       once a round in a shuffled order
#   -a  also time the velto built there, as "velto-a" (an earlier build, to compare with)
#   -k  keep going when DIR lacks room for 3 copies of the largest clip (default: stop)
#
# Large clips: velto (`velto in out`), the durable floor (`cat in > out` then `sync out`, and
# `dd bs=1M conv=fsync`), and, where sox is installed, `sox in out vol -1` (a peer that makes a
# per-sample pass, and does not sync; its output is synced after its timing, before the next
# command starts). Each round runs the commands once, in an order shuffled afresh, so that a
# drift of the machine, and what one command leaves the next, fall on all of them alike; with
# -q each command instead runs its runs in a row, so that each starts from what the same
# command left. Before each timed command the last output is removed and the removal
# committed (freeing a gigabyte costs a journal commit and, on a file system mounted with
# discard, a discard of every freed block, which would otherwise land in whichever command
# syncs next), then the machine rests -p seconds. What one command leaves the next matters on
# a virtual machine that hands its free memory back to its host: velto's buffer is fresh
# memory unless what was freed just before was a buffer like it. Each line shows the median
# wall time, the spread (lowest and highest run), the median CPU time and peak memory, and the
# ratio to the durable floor (the faster of the two durable copies).
#
# Batch: CLIPS clips of FRAMES frames, each converted by its own process: velto, `cat`
# (plain copy), `cat` then `sync` of each file, and sox, in rounds shuffled as above;
# milliseconds per file.
set -euo pipefail

build=build runs=7 sizes="16 256 1024" clips=1000 frames=1024 rest=0 in_sequence=0 other= keep=0
while getopts "b:r:s:n:f:p:qa:k" opt; do
  case $opt in
    b) build=$OPTARG ;; r) runs=$OPTARG ;; s) sizes=$OPTARG ;; n) clips=$OPTARG ;; f) frames=$OPTARG ;;
    p) rest=$OPTARG ;; q) in_sequence=1 ;; a) other=$OPTARG ;;
    k) keep=1 ;; *) sed -n '2,16p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] || { sed -n '2,16p' "$0" >&2; exit 2; }
velto=$(realpath "$build/velto")
tone=$(realpath "$build/velto-tone")
[ -x "$velto" ] && [ -x "$tone" ] || { echo "build velto first: cmake --build $build --target velto velto-tone" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 1; }
if [ -n "$other" ]; then
  velto_a=$(realpath "$other/velto")
  [ -x "$velto_a" ] || { echo "no velto in $other" >&2; exit 1; }
fi
have_sox=0; command -v sox >/dev/null && have_sox=1

work=$(mktemp -d "$1/velto-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "in $work ($(df -T . | awk 'NR == 2 { print $2 }')), $(nproc) cores, commands $( ((in_sequence)) && echo "each in a row" || echo "shuffled each round"), ${rest} s of rest before each"

# Runs one command, appending "wall cpu rss_kib" to the file $2.
measure() {  # command-name result-file args...
  local name=$1 out=$2; shift 2
  local start=$EPOCHREALTIME
  case $name in
    velto) /usr/bin/time -f '%U %S %M' -o t.txt "$velto" "$@" >/dev/null 2>&1 ;;
    velto-a) /usr/bin/time -f '%U %S %M' -o t.txt "$velto_a" "$@" >/dev/null 2>&1 ;;
    cat+sync) /usr/bin/time -f '%U %S %M' -o t.txt sh -c 'cat "$1" > "$2" && sync "$2"' sh "$@" ;;
    dd) /usr/bin/time -f '%U %S %M' -o t.txt dd if="$1" of="$2" bs=1M conv=fsync status=none ;;
    sox) /usr/bin/time -f '%U %S %M' -o t.txt sox "$1" "$2" vol -1 ;;
  esac
  local end=$EPOCHREALTIME
  awk -v s="$start" -v e="$end" '{ printf "%.4f %.3f %s\n", e - s, $1 + $2, $3 }' t.txt >> "$out"
  # Outside the timing, every output goes to disk before it is removed, so that no command
  # leaves the next one a gigabyte of dirty pages to contend with (sox does not sync).
  sync "$2"
}

# Prints the commands in "${tools[@]}" one a line, in a fresh shuffled order.
shuffled() { printf '%s\n' "${tools[@]}" | shuf; }

# Prints "median lowest highest" of column $1 of file $2.
stats() {
  sort -g -k"$1","$1" "$2" | awk -v c="$1" '{ v[NR] = $c }
    END { printf "%s %s %s\n", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

for mib in $sizes; do
  need=$((mib * 3 + 16))
  free=$(($(df -Pk . | awk 'NR == 2 { print $4 }') / 1024))
  if ((free < need)); then
    echo "skipping $mib MiB: $free MiB free here, $need needed" >&2
    ((keep)) && continue || exit 1
  fi
  "$tone" in.wav "$(awk -v m="$mib" 'BEGIN { print m * 1048576 / 176400 }')"
  tools=(velto cat+sync dd); [ -n "$other" ] && tools+=(velto-a); ((have_sox)) && tools+=(sox)
  rm -f ./*.times
  for ((i = 0; i <= runs; i++)); do
    if ((in_sequence)); then order=("${tools[@]}"); else mapfile -t order < <(shuffled); fi
    for t in "${order[@]}"; do
      for ((k = 0; k <= runs * in_sequence; k++)); do
        rm -f out.wav && sync -f . && sleep "$rest"
        if ((i + k == 0)); then measure "$t" warm.times in.wav out.wav; else measure "$t" "$t.times" in.wav out.wav; fi
      done
    done
    ((in_sequence)) && break
  done
  rm -f out.wav in.wav
  floor=$( (stats 1 cat+sync.times; stats 1 dd.times) | awk 'NR == 1 || $1 < m { m = $1 } END { print m }')
  printf '\n%s MiB of samples, %d runs each\n%-9s %9s %19s %7s %9s %8s\n' "$mib" "$runs" tool wall_s "spread (low-high)" cpu_s rss_MiB vs_floor
  for t in "${tools[@]}"; do
    read -r med lo hi < <(stats 1 "$t.times")
    read -r cpu _ _ < <(stats 2 "$t.times")
    read -r rss _ _ < <(stats 3 "$t.times")
    printf '%-9s %9.3f %9.3f - %7.3f %7.2f %9.1f %8.2f\n' "$t" "$med" "$lo" "$hi" "$cpu" \
      "$(awk -v k="$rss" 'BEGIN { print k / 1024 }')" "$(awk -v a="$med" -v b="$floor" 'BEGIN { print a / b }')"
  done
done

if ((clips > 0)); then
  mkdir -p clips outs
  "$tone" clip.wav "$(awk -v f="$frames" 'BEGIN { printf "%.6f", f / 44100 }')"
  for ((c = 0; c < clips; c++)); do cp clip.wav "clips/$c.wav"; done
  batch() {  # tool -> seconds for the whole batch
    local start=$EPOCHREALTIME c
    case $1 in
      velto) for ((c = 0; c < clips; c++)); do "$velto" "clips/$c.wav" "outs/$c.wav" >/dev/null 2>&1; done ;;
      cat) for ((c = 0; c < clips; c++)); do cat "clips/$c.wav" > "outs/$c.wav"; done ;;
      cat+sync) for ((c = 0; c < clips; c++)); do cat "clips/$c.wav" > "outs/$c.wav"; sync "outs/$c.wav"; done ;;
      sox) for ((c = 0; c < clips; c++)); do sox "clips/$c.wav" "outs/$c.wav" vol -1; done ;;
    esac
    awk -v s="$start" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", e - s }'
  }
  tools=(velto cat cat+sync); ((have_sox)) && tools+=(sox)
  rm -f ./*.batch
  for ((i = 0; i <= runs; i++)); do
    mapfile -t order < <(shuffled)
    for t in "${order[@]}"; do
      rm -f outs/* && sync -f . && sleep "$rest"
      if ((i == 0)); then batch "$t" >/dev/null; else batch "$t" >> "$t.batch"; fi
    done
  done
  read -r catmed _ _ < <(stats 1 cat.batch)
  printf '\nbatch of %d clips of %d bytes, one process each, %d runs\n%-9s %9s %19s %8s\n' "$clips" \
    "$(stat -c %s clip.wav)" "$runs" tool ms/file "spread (low-high)" vs_cat
  for t in "${tools[@]}"; do
    read -r med lo hi < <(stats 1 "$t.batch")
    awk -v m="$med" -v l="$lo" -v h="$hi" -v n="$clips" -v c="$catmed" -v t="$t" \
      'BEGIN { printf "%-9s %9.3f %9.3f - %7.3f %8.2f\n", t, m * 1000 / n, l * 1000 / n, h * 1000 / n, m / c }'
  done
fi
