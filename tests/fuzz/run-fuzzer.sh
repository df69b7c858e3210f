#!/usr/bin/env bash
# Runs one libFuzzer target for a fixed time on its seed corpus. New inputs go to a scratch
# folder that is removed afterwards, so the seeds in the repository stay as they are.
set -euo pipefail
fuzzer="$1" seeds="$2" seconds="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch" "$seeds" 2>&1 | tail -n 25
status="${PIPESTATUS[0]}"
if ls "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* >/dev/null 2>&1; then
    for artifact in "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-*; do
        [[ -e "$artifact" ]] && { echo "input: $(basename "$artifact")"; base64 -w0 "$artifact"; echo; }
    done
fi
exit "$status"
