#!/usr/bin/env bash
# Every conversion direction of the converters against iconv and nkf, in one run.
#
#   bench/codawa_bench.sh        (RUNS=3 REPS=5)
#
# bench/codawa_bench times the converters and iconv in the same process on the same texts
# (32 MiB of mixed Japanese, 32 MiB of ASCII). Each run times every conversion REPS times,
# the repetitions of all conversions shuffled over the run, and iconv once. nkf, a program,
# converts the same texts (written out by codawa_bench --write_inputs), once a run each, and
# its rate is input bytes per CPU second (user + system), as codawa_bench's rates are per CPU
# second of its thread. nkf runs with -x, so that half-width katakana stay half-width as they
# do in the other two.
#
# A shared or virtual machine slows a conversion by up to a third for seconds at a time
# (the same code, in the same process, by CPU time), and such a spell can only lower a
# figure. So each tool's figure is its fastest over all runs (the ratios are of those), and
# the converters' median repetition stands beside it to show how much the machine moved.
# Prints one table: MB/s of input of each, the ratios, and streaming (64 KiB chunks) against
# one-shot. TARSEL_BUILD names the build folder (default build).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=${TARSEL_BUILD:-$repo/build}
runs=${RUNS:-3}
reps=${REPS:-5}
bin=$build/bench/codawa_bench

die() { echo "codawa_bench: $*" >&2; exit 2; }
[[ -x $bin ]] || die "no $bin (build the target codawa_bench)"
command -v nkf >/dev/null || die "nkf is missing (scripts/deps.sh)"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (scripts/deps.sh)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bin" --write_inputs="$work"

# nkf's options for each direction: input code, output code, and the text it reads.
declare -A nkf_args=(
  [SjisToEuc]="-S -e sjis" [EucToSjis]="-E -s euc" [SjisToJis]="-S -j sjis"
  [JisToSjis]="-J -s jis" ["ToSjis(EUC)"]="-E -s euc" [SjisToSjis]="-S -s sjis"
  [SjisToUtf8]="-S -w sjis" [EucToUtf8]="-E -w euc" [JisToUtf8]="-J -w jis"
  [Utf8ToSjis]="-W -s utf8" [Utf8ToEuc]="-W -e utf8" [Utf8ToJis]="-W -j utf8"
  [Utf8ToUtf8]="-W -w utf8"
)

for ((r = 1; r <= runs; r++)); do
  echo "round $r of $runs" >&2
  "$bin" --benchmark_min_time=0.3 --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    2>/dev/null | awk '/^conversion/ { on = 1; next } on' >"$work/codawa.$r"
  for name in "${!nkf_args[@]}"; do
    read -r from to text <<<"${nkf_args[$name]}"
    for input in mixed ascii; do
      file=$work/mixed.$text
      [[ $input == ascii ]] && file=$work/ascii.txt
      /usr/bin/time -f '%U %S' -o "$work/time" nkf "$from" "$to" -x "$file" >/dev/null
      read -r user sys <"$work/time"
      awk -v n="$name" -v i="$input" -v b="$(stat -c %s "$file")" -v u="$user" -v s="$sys" \
        'BEGIN { t = u + s; if (t < 0.01) t = 0.01; printf "%s %s %.0f\n", n, i, b / t / 1e6 }' \
        >>"$work/nkf"
    done
  done
done

# Best and median of every figure, one table.
awk -v runs="$runs" -v reps="$reps" '
  function median(key,   n, i, j, v, t) {
    n = split(vals[key], v, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n == 0 ? 0 : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
  }
  function best(key,   n, i, v, b) {
    n = split(vals[key], v, " ")
    for (i = 1; i <= n; i++) if (v[i] + 0 > b) b = v[i] + 0
    return b
  }
  function keep(key, value) {
    vals[key] = vals[key] " " value
  }
  FILENAME ~ /nkf$/ { keep("nkf|" $1 "|" $2, $3); next }
  $3 == "64" && $4 == "KiB" {
    key = $1 "|stream"; keep("best|" key, $6); keep("median|" key, $7)
    if (!(key in seen)) { seen[key] = 1; order[++count] = key }
    next
  }
  $1 == "baseline" { keep("fresh|best", $3); keep("fresh|median", $4); next }
  $2 == "mixed" || $2 == "ascii" {
    key = $1 "|" $2
    keep("best|" key, $3); keep("median|" key, $4); keep("iconv|" key, $5)
    if (!(key in seen)) { seen[key] = 1; order[++count] = key }
  }
  END {
    printf "%-13s %-7s %11s %13s %11s %9s %8s %8s\n", "conversion", "input", "codawa MB/s", "codawa median",
           "iconv MB/s", "nkf MB/s", "/iconv", "/nkf"
    for (k = 1; k <= count; k++) {
      split(order[k], part, "|")
      o = best("best|" order[k]); m = median("median|" order[k])
      if (part[2] == "stream") {
        one = best("best|" part[1] "|mixed")
        printf "%-13s %-7s %11.0f %13.0f %30s (%.0f%% of one-shot)\n", part[1], "stream", o, m, "", one ? 100 * o / one : 0
        continue
      }
      i = best("iconv|" order[k]); n = best("nkf|" order[k])
      printf "%-13s %-7s %11.0f %13.0f %11.0f %9.0f %7.1fx %7.1fx\n", part[1], part[2], o, m, i, n, i ? o / i : 0, n ? o / n : 0
    }
    printf "%-13s %-7s %11.0f %13.0f   (allocating and filling a fresh string of a one-shot output'\''s size)\n", "fresh memory",
           "", best("fresh|best"), median("fresh|median")
    printf "(fastest of %d runs of %d repetitions, and the median of the runs'\'' medians; MB/s of input per CPU second;\n", runs, reps
    printf " stream: 64 KiB chunks through a carry buffer)\n"
  }' "$work"/codawa.* "$work/nkf"
