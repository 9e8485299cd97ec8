#!/usr/bin/env bash
# Two rules on #include lines, both drawn in ARCHITECTURE.md:
# - system headers belong to platform/ (and net/, for sockets, with the TLS library's in net/tls.cpp
#   alone); the protocol logic stays portable;
#   the launcher keeps its system calls in its own *_linux.cpp; the privileged program (privileged/)
#   is system code throughout, and no file of the server includes it;
# - our own headers are included downwards only: every file sits in a layer, and may include its
#   own layer and the layers below it.
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
# Every call into the TLS library goes through net/tls.
bad=$(grep -rnE '#include <openssl/' app net protocol dispatch db accounts catalogue host storage registration platform privileged \
        --include='*.cpp' --include='*.h' | grep -v '^net/tls\.cpp:' || true)
if [[ -n "$bad" ]]; then
    echo "TLS library headers outside net/tls.cpp:" >&2
    echo "$bad" >&2
    exit 1
fi

# The domain client (platform/domain/) sits beside the host's facilities, which never lean on it.
bad=$(grep -rnE '^#include "platform/domain/' platform db --include='*.cpp' --include='*.h' | grep -v '^platform/domain/' || true)
if [[ -n "$bad" ]]; then
    echo "The domain client included by a facility of the host or the database layer:" >&2
    echo "$bad" >&2
    exit 1
fi

# layer FILE: prints "RANK NAME" of the layer the file belongs to, nothing for files outside them.
layer() {
    case "$1" in
        app/log.*|app/servermetrics.*|app/settings.*|net/peerconnection.*|net/socketio.*|net/tls.*|platform/filestamp*) echo "0 base" ;;
        platform/*|db/*)                                             echo "1 platform-and-db" ;;  # platform/domain/ too
        registration/*)                                              echo "2 registration" ;;
        accounts/*)                                                  echo "3 accounts" ;;
        catalogue/*)                                                 echo "3 catalogue" ;;
        host/*)                                                      echo "3 host" ;;
        storage/*)                                                   echo "3 storage" ;;
        dispatch/*)                                                  echo "4 dispatch" ;;
        protocol/*)                                                  echo "5 protocol" ;;
        net/*)                                                       echo "6 net" ;;
        app/*)                                                       echo "7 entry" ;;
        privileged/*)                                                echo "8 privileged-program" ;;
    esac
}

wrong=()
while IFS=: read -r file line text; do
    included=$(sed -E 's/^#include "([^"]+)".*/\1/' <<<"$text")
    read -r from fromName <<<"$(layer "$file")"
    read -r to toName <<<"$(layer "$included")"
    [[ -z "${from:-}" || -z "${to:-}" ]] && continue
    # The handler families (rank 3) do not reach into each other either.
    if ((to > from)) || { ((to == 3 && from == 3)) && [[ "$fromName" != "$toName" ]]; }; then
        wrong+=("$file:$line: $fromName includes $included ($toName): includes point down only, see ARCHITECTURE.md")
    fi
done < <(grep -rnE '^#include "' app net protocol dispatch db accounts catalogue host storage registration platform privileged \
             --include='*.cpp' --include='*.h')
if ((${#wrong[@]})); then
    printf '%s\n' "${wrong[@]}" >&2
    exit 1
fi
echo "check-includes: ok"
