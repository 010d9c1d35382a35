#!/usr/bin/env bash
# Every conversion direction of the converters against iconv and nkf, in one run.
#
#   bench/codawa_bench.sh        (RUNS=3)
#
# bench/codawa_bench times the converters and iconv in the same process on the same texts
# (32 MiB of mixed Japanese, 32 MiB of ASCII); it runs RUNS times and each figure is the
# median. nkf, a program, converts the same texts (written out by codawa_bench
# --write_inputs), RUNS times each, and its rate is input bytes per CPU second (user +
# system), as codawa_bench's rates are per CPU second of its thread. nkf runs with -x, so
# that half-width katakana stay half-width as they do in the other two.
# Prints one table: MB/s of input of each, the ratios, and streaming (64 KiB chunks) against
# one-shot. TARSEL_BUILD names the build folder (default build).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=${TARSEL_BUILD:-$repo/build}
runs=${RUNS:-3}
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
  "$bin" --benchmark_min_time=0.5 2>/dev/null | awk '/^conversion/ { on = 1; next } on' >"$work/codawa.$r"
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

# The medians of every figure, one table.
awk -v runs="$runs" '
  function median(key,   n, i, j, v, t) {
    n = split(vals[key], v, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
    return n == 0 ? 0 : (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2)
  }
  FILENAME ~ /nkf$/ { vals["nkf|" $1 "|" $2] = vals["nkf|" $1 "|" $2] " " $3; next }
  $3 == "64" && $4 == "KiB" { key = $1 "|stream"; vals["ours|" key] = vals["ours|" key] " " $6
                              if (!(key in seen)) { seen[key] = 1; order[++count] = key }; next }
  $1 != "baseline" && ($2 == "mixed" || $2 == "ascii") {
    key = $1 "|" $2
    vals["ours|" key] = vals["ours|" key] " " $3
    vals["iconv|" key] = vals["iconv|" key] " " $4
    if (!(key in seen)) { seen[key] = 1; order[++count] = key }
  }
  END {
    printf "%-13s %-7s %11s %11s %9s %8s %8s\n", "conversion", "input", "codawa MB/s", "iconv MB/s", "nkf MB/s", "/iconv", "/nkf"
    for (k = 1; k <= count; k++) {
      split(order[k], part, "|")
      if (part[2] == "stream") {
        one = median("ours|" part[1] "|mixed"); s = median("ours|" order[k])
        printf "%-13s %-7s %11.0f %34s (%.0f%% of one-shot)\n", part[1], "stream", s, "", one ? 100 * s / one : 0
        continue
      }
      o = median("ours|" order[k]); i = median("iconv|" order[k]); n = median("nkf|" order[k])
      printf "%-13s %-7s %11.0f %11.0f %9.0f %7.1fx %7.1fx\n", part[1], part[2], o, i, n, i ? o / i : 0, n ? o / n : 0
    }
    printf "(medians of %d runs; MB/s of input per CPU second; stream: 64 KiB chunks through a carry buffer)\n", runs
  }' "$work"/codawa.* "$work/nkf"
