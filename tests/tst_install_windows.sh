#!/usr/bin/env bash
# The Windows installer under Wine, as a user without administrator rights
# would meet it: a silent install into a fresh Wine prefix, aimed at a folder
# that holds the user's files and another program's DLL, so that the tool
# gets a folder of its own in it; the installed tool started from its
# shortcut on a virtual display with the windows platform, its window found
# by title, every DLL it loaded its own or Wine's; a silent install over the
# running tool fails and leaves the install as it was: the files, the
# Start-menu entry and the installed-programs entry; once it is closed, a
# reinstall over edited input files; a silent uninstall through the
# installed-programs entry, and what stays: none of the user's files is
# changed or gone, the tool's own scratch files are.
#   tst_install_windows.sh <setup.exe> <version> <source dir>
set -euo pipefail
setup="$(realpath "$1")" version="$2" source="$(realpath "$3")"

if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
# No menu entries on the host, no runtime installers asking for downloads.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
winfolder() { realpath -m "$(winepath -u "$(wine cmd /c echo "%$1%" | tr -d '\r')")"; }
key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvanaSpeedTest'

wineboot -i >/dev/null 2>&1
programs="$(winfolder LOCALAPPDATA)/Programs"
dir="$programs/Orvana Speed Test"
shortcut="$(winfolder APPDATA)/Microsoft/Windows/Start Menu/Programs/Orvana Speed Test.lnk"
mkdir -p "$programs/temp"
mine() { echo "not the installer's" >"$1"; }
mine "$programs/Qt5Core.dll"
mine "$programs/temp/notes.tmp"
wine "$setup" /S "/D=$(winepath -w "$programs")"
wineserver -w

# Started from the Start menu, the tool shows its window; the shortcut runs
# it in the install folder, and it makes its scratch folder there.
wine start "$(winepath -w "$shortcut")"
window="$(timeout 60 xdotool search --sync --name '^Orvana Speed Test$' | head -n 1)" ||
    fail "no window titled Orvana Speed Test"
pid="$(xdotool getwindowpid "$window")"
[ "$(readlink "/proc/$pid/cwd")" = "$dir" ] || fail "working folder $(readlink "/proc/$pid/cwd"), not the install folder"
[ -d "$dir/temp" ] || fail "no temp folder beside the tool"
# Every DLL it loaded is its own or Wine's, the plugins among them.
wine_dlls="$(dirname "$(find /usr/lib -path '*/wine/x86_64-windows/kernel32.dll' -print -quit)")"
loaded="$(grep -o ' /.*\.[dD][lL][lL]$' "/proc/$pid/maps" | sed 's/^ //' | sort -u)"
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qico.dll; do
    grep -qxF "$dir/$plugin" <<<"$loaded" || fail "did not load $plugin"
done
foreign="$(grep -vF -e "$dir/" -e "$wine_dlls/" <<<"$loaded" || true)"
[ -z "$foreign" ] || fail "loaded DLLs from outside: $foreign"
# A silent install over the running tool fails and changes nothing: the
# checks below see the first install.
! wine "$setup" /S || fail "a silent install over the running tool succeeded"

# Beside the DLLs and plugins it loaded (above), the icon and the input files.
[ -f "$dir/OrvanaLogo.ico" ] || fail "the icon is not installed"
cmp "$dir/ipconfig.txt" "$source/packaging/ipconfig.txt" || fail "ipconfig.txt is not the maker's"
[ -f "$dir/downloadConfig.txt" ] && [ ! -s "$dir/downloadConfig.txt" ] || fail "downloadConfig.txt not installed empty"
# The executable's own version and icon resources.
strings -a -el "$dir/orvana-speedtest.exe" | grep -A1 -x ProductVersion | grep -qx "$version" ||
    fail "the executable does not carry version $version"
x86_64-w64-mingw32-objdump -p "$dir/orvana-speedtest.exe" | grep -q ': IDI_ICON1,' ||
    fail "the executable carries no icon"
[ -f "$shortcut" ] || fail "no Start-menu entry"
entry="$(wine reg query "$key" | tr -d '\r')"
for value in "DisplayName +REG_SZ +Orvana Speed Test" "DisplayVersion +REG_SZ +$version" \
    "DisplayIcon +REG_SZ +.*\\\\orvana-speedtest.exe,0" "UninstallString +REG_SZ +\".*\\\\Uninstall.exe\""; do
    grep -Eq "^ +$value\$" <<<"$entry" || fail "installed-programs entry lacks $value: $entry"
done
! wine reg query "${key/HKCU/HKLM}" >/dev/null 2>&1 || fail "installed for all users"

# Once the tool is closed, a reinstall keeps what the user edited and
# restores what is missing.
echo "ping.example.com" >"$dir/ipconfig.txt"
rm "$dir/downloadConfig.txt"
echo "the user's report" >"$dir/Linkometer.log"
mine "$dir/temp/2026-01-02-03-04-05-006 - Copy.tmp"
touch "$dir/temp/2026-01-02-03-04-05-006.tmp" "$dir/temp/2026-01-02-03-04-05-006-1.tmp"
wine taskkill /im orvana-speedtest.exe >/dev/null
timeout 60 wineserver -w || fail "the tool did not end when its window closed"
wine "$setup" /S
wineserver -w
[ "$(cat "$dir/ipconfig.txt")" = "ping.example.com" ] || fail "the reinstall overwrote ipconfig.txt"
[ -f "$dir/downloadConfig.txt" ] || fail "the reinstall did not restore downloadConfig.txt"
[ -f "$dir/orvana-speedtest.exe" ] || fail "the reinstall lost the tool"

# Uninstalled as the installed-programs list does it: the program files, the
# tool's scratch files, the shortcut and the entry go; the report, the inputs
# and the user's own files stay.
uninstaller="$(sed -En 's/^ *QuietUninstallString +REG_SZ +"(.*)" \/S$/\1/p' <<<"$entry")"
[ -n "$uninstaller" ] || fail "no QuietUninstallString: $entry"
wine "$uninstaller" /S
wineserver -w
left="$(cd "$programs" && find . -mindepth 1 | sort | tr '\n' ' ')"
[ "$left" = "./Orvana Speed Test ./Orvana Speed Test/Linkometer.log ./Orvana Speed Test/downloadConfig.txt ./Orvana Speed Test/ipconfig.txt ./Orvana Speed Test/temp ./Orvana Speed Test/temp/2026-01-02-03-04-05-006 - Copy.tmp ./Qt5Core.dll ./temp ./temp/notes.tmp " ] ||
    fail "left after uninstall: $left"
[ "$(cat "$programs/Qt5Core.dll" "$programs/temp/notes.tmp" "$dir/temp/2026-01-02-03-04-05-006 - Copy.tmp" | uniq)" = "not the installer's" ] ||
    fail "the user's files were overwritten"
[ "$(cat "$dir/ipconfig.txt")" = "ping.example.com" ] || fail "the uninstall changed ipconfig.txt"
[ ! -e "$shortcut" ] || fail "the Start-menu entry stayed"
! wine reg query "$key" >/dev/null 2>&1 || fail "the installed-programs entry stayed"
# Installed again later, it goes back into the folder the uninstall left.
wine "$setup" /S
wineserver -w
[ -f "$dir/orvana-speedtest.exe" ] || fail "a new install did not go back into $dir"
echo "PASS: installed, reinstalled, started and uninstalled under Wine"
