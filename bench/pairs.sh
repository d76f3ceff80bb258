# shellcheck shell=bash disable=SC2154,SC2034  # $work, $pairs and $median_ratio are the script's
# Sourced by the benchmark scripts. median: the median of the numbers on standard input.
# run_pairs LABEL [ANCHOR=anchor]: runs the functions `ours` and ANCHOR (each prints the
# microseconds it took) in turns, $pairs times each, alternating which goes first; prints every
# pair and the medians, and sets $median_ratio. Needs $work, a scratch folder.
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

run_pairs() {
  local label=$1 against=${2:-anchor} i o a r mo ma
  : >"$work/ours"
  : >"$work/anchor"
  : >"$work/ratios"
  printf '%5s %12s %12s %8s\n' pair "ours (ms)" "anchor (ms)" ratio
  for ((i = 1; i <= pairs; ++i)); do
    if ((i % 2)); then o=$(ours); a=$("$against"); else a=$("$against"); o=$(ours); fi
    echo "$o" >>"$work/ours"
    echo "$a" >>"$work/anchor"
    r=$(awk -v o="$o" -v a="$a" 'BEGIN { printf "%.3f", o / a }')
    echo "$r" >>"$work/ratios"
    awk -v i="$i" -v o="$o" -v a="$a" -v r="$r" 'BEGIN { printf "%5d %12.2f %12.2f %8s\n", i, o / 1000, a / 1000, r }'
  done
  mo=$(median <"$work/ours")
  ma=$(median <"$work/anchor")
  median_ratio=$(median <"$work/ratios")
  awk -v mo="$mo" -v ma="$ma" -v n="$pairs" -v label="$label" 'BEGIN {
    printf "medians of %d pairs%s: ours %.2f ms, anchor %.2f ms\n", n, label, mo / 1000, ma / 1000
  }'
}
