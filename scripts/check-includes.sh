#!/usr/bin/env bash
# Two rules on #include lines, both drawn in ARCHITECTURE.md:
# - a system header appears only where the list below allows it: Qt and the C++ library
#   everywhere, the operating system's headers only in the folders that hold system code (base/,
#   net/, platform/, the privileged program, the domain helper, the launcher's *_linux.cpp), each
#   library's headers only beside the one wrapper that calls it. A header on no line fails,
#   wherever it is: a new one is placed here on purpose.
# - our own headers are included downwards only: every folder is a layer, and a file may include
#   its own layer and the layers below it.
set -euo pipefail
shopt -s extglob
cd "$(dirname "$0")/.."

FOLDERS=(base app net protocol dispatch db accounts catalogue host storage registration platform privileged
         domain launcher)

# The C++ standard library, which the portable code may use.
CXX_HEADERS='algorithm|any|array|atomic|bitset|cassert|cctype|cerrno|cinttypes|climits|cmath|chrono|condition_variable|csignal|cstddef|cstdint|cstdio|cstdlib|cstring|ctime|deque|exception|filesystem|fstream|functional|initializer_list|iomanip|iostream|iterator|limits|list|map|memory|mutex|new|numeric|optional|set|sstream|stdexcept|string|string_view|system_error|thread|tuple|type_traits|unordered_map|unordered_set|utility|variant|vector'
# The operating system's own headers.
OS_HEADERS='arpa/.*|dirent\.h|fcntl\.h|grp\.h|netdb\.h|netinet/.*|poll\.h|pthread\.h|pwd\.h|sched\.h|signal\.h|spawn\.h|sys/[a-z_]+\.h|syslog\.h|time\.h|unistd\.h|utmpx\.h'
SYSTEM_CODE='(base|net|platform|privileged|domain)/.*|launcher/[a-z_]+_linux\.cpp'

# HEADERS (extended regex) @ WHERE it may appear (extended regex over the file's path)
ALLOWED=(
    "Q[A-Za-z]*(/Q[A-Za-z]*)?|$CXX_HEADERS            @ .*"
    "$OS_HEADERS                                      @ $SYSTEM_CODE|app/main\.cpp"
    "openssl/.*                                       @ base/tls\.cpp"
    "mysql\.h                                         @ platform/databaseconnection_linux\.cpp"
    "seccomp\.h|linux/capability\.h                   @ platform/confinement_linux\.cpp"
    "linux/openat2\.h|security/pam_appl\.h|sys/acl\.h @ privileged/.*"
    "systemd/sd-(daemon|journal)\.h                   @ platform/[a-z]+_linux\.cpp"
    "systemd/sd-(bus|daemon|login)\.h                 @ privileged/.*|launcher/[a-z_]+_linux\.cpp"
    "krb5\.h|netapi\.h                                @ domain/.*"
)

# Each rule split once into its two patterns, surrounding blanks dropped.
HEADERS=()
WHERE=()
for rule in "${ALLOWED[@]}"; do
    headers=${rule% @ *}
    where=${rule##* @ }
    HEADERS+=("${headers%%+( )}")
    WHERE+=("${where##+( )}")
done

bad=()
while IFS=: read -r file line text; do
    header=${text#*<}
    header=${header%%>*}
    allowed=false
    for i in "${!HEADERS[@]}"; do
        if [[ "$header" =~ ^(${HEADERS[i]})$ && "$file" =~ ^(${WHERE[i]})$ ]]; then
            allowed=true
            break
        fi
    done
    $allowed || bad+=("$file:$line: <$header> is not allowed here; the list of where each system header may appear is in scripts/check-includes.sh")
done < <(grep -rnE '^#include <' "${FOLDERS[@]}" --include='*.cpp' --include='*.h')
if ((${#bad[@]})); then
    printf '%s\n' "${bad[@]}" >&2
    exit 1
fi

# layer FILE: sets RANK and NAME to the folder's layer, both empty for folders outside them.
layer() {
    RANK= NAME=
    case "${1%/*}" in
        base)                      RANK=0 NAME=base ;;
        platform|db)               RANK=1 NAME=platform-and-db ;;
        platform/domain)           RANK=1 NAME=platform-domain ;;
        registration)              RANK=2 NAME=registration ;;
        accounts)                  RANK=3 NAME=accounts ;;
        catalogue)                 RANK=3 NAME=catalogue ;;
        host)                      RANK=3 NAME=host ;;
        storage)                   RANK=3 NAME=storage ;;
        dispatch)                  RANK=4 NAME=dispatch ;;
        protocol)                  RANK=5 NAME=protocol ;;
        net)                       RANK=6 NAME=net ;;
        app)                       RANK=7 NAME=entry ;;
        privileged)                RANK=8 NAME=privileged-program ;;
    esac
}

wrong=()
while IFS=: read -r file line text; do
    included=${text#*\"}
    included=${included%%\"*}
    layer "$file"
    from=$RANK fromName=$NAME
    layer "$included"
    to=$RANK toName=$NAME
    [[ -z "${from:-}" || -z "${to:-}" ]] && continue
    # The handler families (rank 3) do not reach into each other either, and the
    # host's facilities and the database layer never lean on the domain client beside them.
    if ((to > from)) || { ((to == 3 && from == 3)) && [[ "$fromName" != "$toName" ]]; } \
        || { [[ "$toName" == platform-domain && "$fromName" == platform-and-db ]]; }; then
        wrong+=("$file:$line: $fromName includes $included ($toName): includes point down only, see ARCHITECTURE.md")
    fi
done < <(grep -rnE '^#include "' base app net protocol dispatch db accounts catalogue host storage registration platform \
             privileged --include='*.cpp' --include='*.h')
if ((${#wrong[@]})); then
    printf '%s\n' "${wrong[@]}" >&2
    exit 1
fi
echo "check-includes: ok"
