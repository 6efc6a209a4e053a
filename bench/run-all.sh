#!/usr/bin/env bash
# Runs every benchmark script in bench/ against the build tree given (default build/).
set -u
build=${1:-build}
cd "$(dirname "$0")/.."
status=0
for script in bench/*.sh; do
  case "$(basename "$script")" in run-all.sh|common.sh) continue ;; esac
  echo "== $script"
  bash "$script" "$build" || { echo "!! $script failed"; status=1; }
done
exit $status
