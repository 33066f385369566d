#!/bin/sh
# The tree that cmake --install makes, staged under a temporary prefix.
#   tst_install.sh files <build>     desktop entry, metainfo, icon theme PNGs
#   tst_install.sh launcher <build>  the menu's command and the per-user folder
#   tst_install.sh bus <build>       the session bus Qt starts on a bare display
set -eu
mode="$1"
build="$2"
stage="$(cd "$(mktemp -d)" && pwd -P)"
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/usr" >/dev/null
share="$stage/usr/share"
id=com.orvana.SpeedTest

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Starts $launcher from another folder and stops the tool once it runs;
# $1 is the folder it must run in (the per-user one, with the maker's files,
# or the one it was started from), the rest are settings for it.
launcher="$stage/usr/bin/orvana-speedtest"
start() {
    folder="$1"
    shift
    (cd "$stage/elsewhere" && exec env -u XDG_DATA_HOME HOME="$stage/home" QT_QPA_PLATFORM=offscreen \
        "$@" "$launcher") &
    pid=$!
    tries=0
    while [ "$(readlink "/proc/$pid/exe" || true)" != "$stage/usr/libexec/orvana-speedtest/orvana-speedtest" ]; do
        kill -0 "$pid" 2>/dev/null || fail "the launcher ended before the tool ran"
        tries=$((tries + 1))
        [ "$tries" -lt 200 ] || fail "the tool did not start"
        sleep 0.05
    done
    cwd="$(readlink "/proc/$pid/cwd")"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    [ "$cwd" = "$folder" ] || fail "the tool ran in $cwd, not in $folder"
    [ "$folder" != "$stage/elsewhere" ] || return 0
    for file in downloadConfig.txt ipconfig.txt OrvanaLogo.ico temp; do
        [ -e "$folder/$file" ] || fail "$folder/$file is missing"
    done
}

case "$mode" in
files)
    entry="$share/applications/$id.desktop"
    out="$(desktop-file-validate "$entry" 2>&1)" && [ -z "$out" ] || fail "desktop-file-validate: $out"
    [ -x "$stage/usr/bin/$(sed -n 's/^Exec=//p' "$entry")" ] || fail "the entry's command is not installed"
    appstreamcli validate --no-net --strict "$share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
    for size in 16 24 32 48 64 128 256; do
        png="$share/icons/hicolor/${size}x$size/apps/$id.png"
        # The PNG signature, then the header chunk's width and height.
        head="$(od -An -tu1 -N24 "$png" | tr -s ' \n' '  ')"
        side="0 0 $((size / 256)) $((size % 256))"
        [ "$head" = " 137 80 78 71 13 10 26 10 0 0 0 13 73 72 68 82 $side $side " ] ||
            fail "$png is not a $size x $size PNG: $head"
    done
    ;;
launcher)
    # A run needs the outside network, so the test looks at where the real
    # tool runs: its report, input files and scratch folder are all
    # relative to its working directory.
    mkdir "$stage/home" "$stage/elsewhere"
    tree="$(find "$stage/usr" | sort)"
    start "$stage/home/.local/share/orvana-speedtest"
    cmp -s "$share/orvana-speedtest/ipconfig.txt" "$stage/home/.local/share/orvana-speedtest/ipconfig.txt" ||
        fail "the maker's ipconfig.txt was not copied"

    # A file of the user's own is kept.
    mkdir -p "$stage/data/orvana-speedtest"
    echo 192.0.2.1 >"$stage/data/orvana-speedtest/ipconfig.txt"
    start "$stage/data/orvana-speedtest" XDG_DATA_HOME="$stage/data"
    [ "$(cat "$stage/data/orvana-speedtest/ipconfig.txt")" = 192.0.2.1 ] || fail "ipconfig.txt was overwritten"

    # No per-user folder can be made (a file stands in the way): the tool
    # still starts, in the folder it was started from.
    : >"$stage/file"
    start "$stage/elsewhere" XDG_DATA_HOME="$stage/file/data"
    # Through a symbolic link, as in a bin folder of the user's own.
    ln -s "$stage/usr/bin/orvana-speedtest" "$stage/link"
    launcher="$stage/link"
    start "$stage/home/.local/share/orvana-speedtest"

    [ "$(find "$stage/usr" | sort)" = "$tree" ] || fail "the tool wrote into the installed tree"
    ;;
bus)
    # Without a session bus (startx, ssh -X), Qt's accessibility starts one
    # on the display: every service it starts later inherits its
    # environment, which must not carry the tool's own start-up setting.
    mkdir "$stage/home"
    marker="OSP_BUS_TEST=$$"
    marked() {
        grep -lxz "$marker" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
    }
    env -u DBUS_SESSION_BUS_ADDRESS HOME="$stage/home" QT_QPA_PLATFORM=xcb "$marker" \
        xvfb-run -a "$launcher" >/dev/null 2>&1 &
    daemon=""
    tries=0
    while [ -z "$daemon" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 200 ] || fail "no session bus was started"
        sleep 0.05
        daemon="$(for p in $(marked); do grep -lx dbus-daemon "/proc/$p/comm"; done || true)"
    done
    daemon_env="$(tr '\0' '\n' <"${daemon%comm}environ")"
    # Nor did the tool load Qt's OpenGL integration.
    tool_gl="$(for p in $(marked); do grep -l xcbglintegrations "/proc/$p/maps" || true; done)"
    kill $(marked) 2>/dev/null || true
    [ -z "$tool_gl" ] || fail "the tool loaded OpenGL: $tool_gl"
    case "$daemon_env" in *QT_XCB_GL_INTEGRATION*) fail "the session bus got QT_XCB_GL_INTEGRATION" ;; esac
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
