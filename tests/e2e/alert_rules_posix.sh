#!/usr/bin/env bash
# The shipped Prometheus rules and Grafana dashboard: promtool checks the
# rules and runs their unit tests (each alert firing for one watch and quiet
# for another); the dashboard parses, its queries parse as PromQL, and the
# dashboard and the rules refer only to metric names that a metrics file
# written by the one-shot host holds.
source "$(dirname "$0")/lib/common.sh"
qw_e2e_init alert_rules_posix
qw_need "$native_bin/QuotawardenService"
command -v promtool >/dev/null || fail "promtool is missing (scripts/setup installs it)"

( cd packaging/prometheus && timeout 60 promtool check rules quotawarden.rules.yml && timeout 60 promtool test rules quotawarden.rules.test.yml )

mkdir -p "$work/prom"
printf '[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=1MB\r\n[METRICS]\r\nTEXTFILEDIR=%s/prom\r\n' "$work" >"$work/Drivewarden.ini"
timeout 60 "$native_bin/QuotawardenService" --once --windir="$work" 2>"$work/once.err" || fail "the one-shot host failed"
timeout 60 promtool check metrics <"$work/prom/quotawarden.prom"
timeout 60 python3 tests/e2e/metric_names.py "$work/prom/quotawarden.prom" packaging/grafana/quotawarden.json \
  packaging/prometheus/quotawarden.rules.yml "$work"
