# The Windows build's tests run under Wine in a prefix of their own, made once
# per run: 32-bit, quiet, no window manager needed, Japanese text drawable,
# the caption buttons drawn, and COM5 mapped to the path where the virtual module links its pty (COM12
# too, to show that a port above COM9 opens).
# shellcheck shell=bash

# wine_prefix_make DIR: makes a fresh prefix in DIR/prefix and exports what
# every later wine call of this run needs. COM5 is DIR/ports/com5, the link
# corvanta-sim makes when CORVANTA_PORTS is DIR/ports.
wine_prefix_make() {
  local dir=$1
  mkdir -p "$dir/ports"
  export WINEPREFIX=$dir/prefix WINEARCH=win32 WINEDEBUG=-all
  export CORVANTA_WINE_PORTS=$dir/ports
  # No Mono or Gecko installer prompts; nothing here needs them. No menu
  # builder either, and what Wine still makes of menus and MIME types goes
  # into DIR, not the user's home.
  export WINEDLLOVERRIDES="winemenubuilder.exe=d"
  export XDG_DATA_HOME=$dir/xdg/data XDG_CONFIG_HOME=$dir/xdg/config
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  local reg=(wine reg add)
  # Without a window manager Wine must place the windows itself, else every
  # DestroyWindow waits 2 s for one.
  "${reg[@]}" 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # The dialogs' and message boxes' fonts drawn with an installed Japanese one.
  local face
  for face in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "System" "Tahoma"; do
    "${reg[@]}" 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
      /v "$face" /d "VL Gothic" /f >/dev/null 2>&1
  done
  # The caption buttons' glyphs come from Marlett. Debian's Wine looks for
  # its own fonts in "/usr/share/wine/../fonts", a path with "..", which it
  # refuses, so it never finds fonts-wine's; from the prefix's Fonts folder
  # it loads every font.
  cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  "${reg[@]}" 'HKLM\Software\Wine\Ports' /v COM5 /d "$dir/ports/com5" /f >/dev/null 2>&1
  "${reg[@]}" 'HKLM\Software\Wine\Ports' /v COM12 /d "$dir/ports/com5" /f >/dev/null 2>&1
  # ctest must start with no wineserver: a server started now would hold the
  # first test's output pipes open.
  wineserver -w
}

# wine_prefix_remove DIR: stops the prefix's server and removes DIR, and the
# folder the server kept its socket and lock in, which it leaves behind:
# Debian's Wine makes it as $TMPDIR/wine-XXXXXX and names it in the
# prefix's file "wineserver".
wine_prefix_remove() {
  local dir=$1
  local server_dir=""
  if [ -r "$dir/prefix/wineserver" ]; then
    server_dir=$(head -c 64 "$dir/prefix/wineserver")
    [[ $server_dir == wine-?????? ]] && server_dir="${TMPDIR:-/tmp}/$server_dir" || server_dir=""
  fi
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$dir"
  [ -n "$server_dir" ] && rm -rf "$server_dir"
  return 0
}
