#!/usr/bin/env bash
# 100 alerts with AUTH=OAUTH2 in one foreground host against the real OAuth
# peers: one token request for all of them, and the time per alert with the
# cached token beside AUTH PLAIN on the same peer (see oauth_alerts.py).
# Usage: bench/oauth_alerts.sh [ALERTS]
source "$(dirname "$0")/../tests/e2e/lib/common.sh"
qw_e2e_init bench_oauth_alerts
service="$root/${BUILD_DIR_PREFIX:-build/}bench/bin/QuotawardenService"
[ -x "$service" ] || service="$native_bin/QuotawardenService"
[ -x "$service" ] || fail "$service not built"
[ -d "$root/build/peers/oauth_server/node_modules/oidc-provider" ] ||
  fail "oidc-provider is not installed in build/peers/oauth_server: run scripts/setup"
QW_BENCH_SERVICE="$service" /usr/bin/python3 "$root/bench/oauth_alerts.py" "$work" "${1:-100}"
