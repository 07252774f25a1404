#!/usr/bin/env bash
# The folders of src/tav_core are layers, bottom to top; a file includes only from its own folder
# and the folders below it, and only platform/ includes operating-system headers. Prints every
# include that breaks either rule and fails if there is one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root/src/tav_core"

layers=(platform runtime ipc net host qr streaming server)
# Headers of an operating system (POSIX, Linux, macOS, X11, Windows).
os_headers='unistd\.h|sys/.*|poll\.h|fcntl\.h|pthread\.h|dlfcn\.h|arpa/.*|netinet/.*|netdb\.h|ifaddrs\.h|net/if\.h|linux/.*|spawn\.h|signal\.h|semaphore\.h|X11/.*|mach/.*|mach-o/.*|libproc\.h|windows\.h|winsock2\.h|ws2tcpip\.h|iphlpapi\.h|bcrypt\.h|shlobj\.h'

rank() {
    local i
    for i in "${!layers[@]}"; do [[ "${layers[$i]}" == "$1" ]] && { echo "$i"; return; }; done
    echo -1
}

status=0
while IFS= read -r file; do
    folder="${file%%/*}"
    [[ "$file" == */* ]] || folder=""
    own=$(rank "$folder")
    if [[ "$own" == -1 ]]; then
        echo "check_layers: $file: not in a layer (${layers[*]})"
        status=1
        continue
    fi
    while IFS= read -r line; do
        if [[ "$line" =~ ^#include\ \"([a-z_0-9]+)/ ]]; then
            used=$(rank "${BASH_REMATCH[1]}")
            if (( used > own )); then
                echo "check_layers: $file includes from above its layer: $line"
                status=1
            fi
        elif [[ "$folder" != platform && "$line" =~ ^#include\ \<($os_headers)\> ]]; then
            echo "check_layers: $file includes an operating-system header outside platform/: $line"
            status=1
        fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file" | sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*/#include /')
done < <(find . -name '*.[ch]pp' | sed 's|^\./||' | sort)
[[ $status == 0 ]] && echo "check_layers: ${layers[*]}: every include points down, OS headers only in platform/"
exit $status
