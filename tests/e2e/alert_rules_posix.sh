#!/usr/bin/env bash
# The shipped Prometheus rules and Grafana dashboard: promtool checks the
# rules and runs their unit tests (each alert firing for one watch and quiet
# for another); the dashboard parses, its queries parse as PromQL, and the
# dashboard and the rules refer only to metric names that a metrics file
# written by the one-shot host holds.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin="${QW_NATIVE_BIN:-build/native/bin}"
[ -x "$bin/QuotawardenService" ] || { echo "alert_rules_posix: $bin/QuotawardenService is not built" >&2; exit 1; }
command -v promtool >/dev/null || { echo "alert_rules_posix: promtool is missing (scripts/setup installs it)" >&2; exit 1; }
work="$(mktemp -d /tmp/qw-e2e-rules.XXXXXX)"
trap 'rm -rf "$work"' EXIT

( cd packaging/prometheus && timeout 60 promtool check rules quotawarden.rules.yml && timeout 60 promtool test rules quotawarden.rules.test.yml )

mkdir -p "$work/prom"
printf '[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=1MB\r\n[METRICS]\r\nTEXTFILEDIR=%s/prom\r\n' "$work" >"$work/Drivewarden.ini"
timeout 60 "$bin/QuotawardenService" --once --windir="$work" 2>"$work/once.err" || { cat "$work/once.err" >&2; exit 1; }
timeout 60 promtool check metrics <"$work/prom/quotawarden.prom"
timeout 60 python3 tests/e2e/metric_names.py "$work/prom/quotawarden.prom" packaging/grafana/quotawarden.json \
  packaging/prometheus/quotawarden.rules.yml "$work"
