#!/bin/sh
# Starts the tool from the menu or a shell. The tool keeps its report, its
# input files and its scratch folder in the working directory, which a menu
# leaves unknown and which beside the executable is not writable, so it runs
# in the user's own data folder. The maker's input files are copied there
# when missing and are never overwritten.
set -eu

case "${XDG_DATA_HOME:-}" in
/*) data_home="$XDG_DATA_HOME" ;;
*)
    if [ -z "${HOME:-}" ]; then
        echo "orvana-speedtest: HOME is not set" >&2
        exit 1
    fi
    data_home="$HOME/.local/share"
    ;;
esac
folder="$data_home/orvana-speedtest"

here="$(cd "$(dirname "$0")" && pwd)"
defaults="$here/@DEFAULTS_FROM_BINDIR@"
tool="$here/@TOOL_FROM_BINDIR@"

mkdir -p "$folder/temp"
for file in downloadConfig.txt ipconfig.txt OrvanaLogo.ico; do
    if [ ! -e "$folder/$file" ] && [ -e "$defaults/$file" ]; then
        cp "$defaults/$file" "$folder/$file"
    fi
done

cd "$folder"
exec "$tool" "$@"
