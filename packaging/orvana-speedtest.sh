#!/bin/sh
# Starts the tool from the menu or a shell. The tool keeps its report, its
# input files and its scratch folder in the working directory, which a menu
# leaves unknown and which beside the executable is not writable, so it runs
# in the user's own data folder. The maker's input files are copied there
# when missing and are never overwritten.
# Started from a menu nobody sees what this script prints: whenever the tool
# exists it starts, in the folder it was started from when the data folder
# cannot be made; what cannot be written the tool's window tells.
set -u

folder=""
case "${XDG_DATA_HOME:-}" in
/*) folder="$XDG_DATA_HOME/orvana-speedtest" ;;
*) [ -z "${HOME:-}" ] || folder="$HOME/.local/share/orvana-speedtest" ;;
esac

# Through a symbolic link the tool still lies beside the launcher itself.
self="$(readlink -f -- "$0" 2>/dev/null || printf '%s' "$0")"
here="$(cd "$(dirname -- "$self")" && pwd)"
defaults="$here/@DEFAULTS_FROM_BINDIR@"
tool="$here/@TOOL_FROM_BINDIR@"

if [ -n "$folder" ] && mkdir -p "$folder" 2>/dev/null && cd "$folder"; then
    mkdir -p temp 2>/dev/null || true
    for file in downloadConfig.txt ipconfig.txt OrvanaLogo.ico; do
        if [ ! -e "$file" ] && [ -e "$defaults/$file" ]; then
            cp "$defaults/$file" "$file" 2>/dev/null || rm -f "$file"
        fi
    done
fi

exec "$tool" "$@"
