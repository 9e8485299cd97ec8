#!/usr/bin/env bash
# System headers belong to platform/ (and net/, for sockets); the protocol logic stays portable.
# The launcher keeps its system calls in its own *_linux.cpp.
set -euo pipefail
cd "$(dirname "$0")/.."
pattern='#include <(pwd|grp|shadow|security/|sys/acl|acl/|utmpx|sys/statvfs|sys/socket|netinet/|arpa/|unistd|poll|pthread|sys/)'
dirs=()
for d in app protocol dispatch db accounts catalogue host storage registration launcher; do
    [[ -d "$d" ]] && dirs+=("$d")
done
bad=$(grep -rnE "$pattern" "${dirs[@]}" --include='*.cpp' --include='*.h' \
        | grep -v '^app/main.cpp:.*<unistd.h>' | grep -v '^launcher/[a-z]*_linux\.cpp:' || true)
if [[ -n "$bad" ]]; then
    echo "System headers outside platform/ and net/:" >&2
    echo "$bad" >&2
    exit 1
fi
echo "check-includes: ok"
