#!/usr/bin/env bash
# One Teams alert from the one-shot host, connect to response, beside curl
# posting the same body to the same loopback HTTPS receiver in the same run
# (see webhook_teams.py): the median and the 90th percentile of ROUNDS
# (default 20) alerts of each, and their ratio. The aim is no slower than
# curl. Uses build/bench/bin when built (Release), else build/native/bin
# (Debug with the sanitizers: slower, and said so).
#   bench/webhook_teams.sh [ROUNDS]
source "$(dirname "$0")/../tests/e2e/lib/common.sh"
qw_e2e_init bench_webhook_teams
service="$root/${BUILD_DIR_PREFIX:-build/}bench/bin/QuotawardenService"
[ -x "$service" ] || service="$native_bin/QuotawardenService"
[ -x "$service" ] || fail "$service not built"
command -v curl >/dev/null || fail "curl is missing"
source "$root/tests/e2e/lib/exim.sh"
qw_test_certs "$work"
echo "webhook_teams: $service"
/usr/bin/python3 "$root/bench/webhook_teams.py" "$work" "$service" "${1:-20}"
