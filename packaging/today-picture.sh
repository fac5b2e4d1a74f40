#!/usr/bin/env bash
# Makes docs/today.png, the README's picture of the "Today" window: the real window, drawn on
# Qt's offscreen platform by today_window_bench, over a made-up day: a heart-rate reading every
# five minutes (low at night, a workout at 17:00, an hour at 14:00 when the phone was away, the
# last one two minutes ago at 72) and a state document that fits it.
#
# usage: packaging/today-picture.sh [BUILD_DIR]   (default build/release; needs its
#        bench/today_window_bench)
set -euo pipefail
cd "$(dirname "$0")/.."
bench=$(readlink -f "${1:-build/release}/bench/today_window_bench")
out=$PWD/docs/today.png
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

now=$(date +%s)
# Hours are UTC hours of the day; the picture is made with TZ=UTC so that they read as such.
awk -v now="$now" 'BEGIN {
  srand(7)
  for (t = now - 86100; t < now - 120; t += 300) {
    h = (t % 86400) / 3600
    if (h >= 14 && h < 15) continue
    if (h < 6) v = 54 + 3 * rand()
    else if (h < 8) v = 56 + (h - 6) * 7 + 3 * rand()
    else if (h >= 17 && h < 18) v = 120 + 25 * sin((h - 17) * 3.14159) + 6 * rand()
    else if (h >= 23) v = 60 + 3 * rand()
    else v = 68 + 8 * rand()
    printf "{\"device\":\"Phone\",\"ts\":%d,\"type\":\"heart_rate\",\"unit\":\"count/min\",\"value\":%.0f}\n", t, v
  }
  printf "{\"device\":\"Phone\",\"ts\":%d,\"type\":\"heart_rate\",\"unit\":\"count/min\",\"value\":72}\n", now - 120
}' >"$work/history.jsonl"
cat >"$work/state.json" <<EOF
{
  "updated_at": $now,
  "version": "1.2.0",
  "orvaned": true,
  "heart_rate": {"bpm": 72, "age_seconds": 120, "live": false, "trend": "steady",
                 "slope_bpm_per_min": 0.4, "vs_baseline_pct": 24},
  "baseline": {"bpm": 58, "source": "resting_heart_rate"},
  "hrv_sdnn": {"ms": 48, "age_minutes": 35},
  "sleep_last_night_hours": 7.4,
  "oxygen_saturation": 97.0,
  "respiratory_rate": 14.5,
  "flags": ["hr_elevated"]
}
EOF
TZ=UTC "$bench" "$work" 1 "$out" >/dev/null
echo "$out"
