#!/usr/bin/env bash
# The include check against a copy of the tree: clean as it stands, and each planted line below
# fails it with its reason.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
COPY=$(mktemp -d)
trap 'rm -rf "$COPY"' EXIT
(cd "$ROOT" && git ls-files -z -- scripts base app net protocol dispatch db accounts catalogue host storage \
    registration platform privileged domain launcher | xargs -0 cp --parents -t "$COPY")
bash "$COPY/scripts/check-includes.sh" >/dev/null || { echo "FAIL: the tree as it stands fails the check" >&2; exit 1; }

# FILE | PLANTED LINE | WHAT THE REFUSAL SAYS
ROWS=(
    'dispatch/request.cpp | #include "protocol/clientsession.h" | dispatch includes protocol/clientsession.h'
    'base/log.cpp         | #include "app/runmodes.h"           | base includes app/runmodes.h'
    'catalogue/mediafetch.cpp | #include "accounts/accountstore.h" | catalogue includes accounts/accountstore.h'
    'db/mysqlpool.cpp     | #include "platform/domain/domainaccounts.h" | platform-and-db includes platform/domain'
    'dispatch/request.cpp | #include <sys/mman.h>               | <sys/mman.h> is not allowed here'
    'protocol/clientsession.cpp | #include <unistd.h>          | <unistd.h> is not allowed here'
    'net/listener.cpp     | #include <openssl/ssl.h>            | <openssl/ssl.h> is not allowed here'
    'platform/metrics_linux.cpp | #include <dlfcn.h>           | <dlfcn.h> is not allowed here'
)
failed=0
for row in "${ROWS[@]}"; do
    IFS='|' read -r file planted expected <<<"$row"
    file=$(xargs <<<"$file") planted=$(sed -E 's/^ +| +$//g' <<<"$planted") expected=$(sed -E 's/^ +| +$//g' <<<"$expected")
    cp "$COPY/$file" "$COPY/$file.orig"
    sed -i "0,/^#include/s||$planted\n#include|" "$COPY/$file"
    if output=$(bash "$COPY/scripts/check-includes.sh" 2>&1); then
        echo "FAIL: $file with '$planted' passed the check" >&2
        failed=1
    elif ! grep -qF -- "$expected" <<<"$output"; then
        echo "FAIL: $file with '$planted': no '$expected' in: $output" >&2
        failed=1
    fi
    mv "$COPY/$file.orig" "$COPY/$file"
done
exit $failed
