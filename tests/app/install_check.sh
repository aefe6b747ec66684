#!/bin/sh
# Installs the build into a temporary prefix and checks the installed tree:
# the executables and their command links, the LibAV folder (every entry
# resolves, nothing points back into the build tree), the default Config.ini,
# the help pages, the desktop entry and the icons; then runs the installed
# programs: the command-line converter (--help, a probe and a conversion,
# which load the media libraries from the installed LibAV folder) and the
# window under the offscreen platform.
#
#   install_check.sh --cmake CMAKE --build BUILD_DIR --mkmedia VIDMILL_MKMEDIA
#                    --config-script WriteDefaultConfig.cmake --version VERSION
#                    --appdir lib/vidmill --bindir bin --datadir share
#                    --icon-sizes "16 32 ..."

set -u

CMAKE= BUILD= MKMEDIA= CONFIG_SCRIPT= VERSION= APPDIR= BINDIR= DATADIR= ICON_SIZES=
while [ $# -gt 0 ]; do
  case $1 in
    --cmake) CMAKE=$2 ;;
    --build) BUILD=$2 ;;
    --mkmedia) MKMEDIA=$2 ;;
    --config-script) CONFIG_SCRIPT=$2 ;;
    --version) VERSION=$2 ;;
    --appdir) APPDIR=$2 ;;
    --bindir) BINDIR=$2 ;;
    --datadir) DATADIR=$2 ;;
    --icon-sizes) ICON_SIZES=$2 ;;
    *) echo "install_check.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for v in CMAKE BUILD MKMEDIA CONFIG_SCRIPT VERSION APPDIR BINDIR DATADIR ICON_SIZES; do
  eval "val=\$$v"
  [ -n "$val" ] || { echo "install_check.sh: --$v missing" >&2; exit 2; }
done

BUILD=$(cd "$BUILD" && pwd -P)
# The programs run from a work folder of their own: absolute paths.
absolute() { case $1 in /*) echo "$1" ;; */*) echo "$(pwd -P)/$1" ;; *) echo "$1" ;; esac; }
CMAKE=$(absolute "$CMAKE")
MKMEDIA=$(absolute "$MKMEDIA")
CONFIG_SCRIPT=$(absolute "$CONFIG_SCRIPT")
TMP=$(mktemp -d "${TMPDIR:-/tmp}/vidmill-install.XXXXXX") || exit 2
GUI_PID=
cleanup() {
  [ -n "$GUI_PID" ] && kill -KILL "$GUI_PID" 2>/dev/null
  chmod -R u+w "$TMP" 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

FAILURES=0
fail() { echo "FAIL: $*" >&2; FAILURES=$((FAILURES + 1)); }
pass() { echo "ok: $*"; }

PREFIX=$TMP/prefix
APP=$PREFIX/$APPDIR
BIN=$PREFIX/$BINDIR
SHARE=$PREFIX/$DATADIR

# ---- cmake --install ----
if ! "$CMAKE" --install "$BUILD" --prefix "$PREFIX" >"$TMP/install.log" 2>&1; then
  cat "$TMP/install.log" >&2
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi
pass "cmake --install $BUILD --prefix $PREFIX"
# Paths of the tree, as one list (no path of the tree contains a newline).
( cd "$PREFIX" && find . | LC_ALL=C sort ) >"$TMP/tree.before"
[ ! -f "$PREFIX/$APPDIR/Config.ini" ] || cp "$PREFIX/$APPDIR/Config.ini" "$TMP/Config.installed"

# ---- executables and their commands ----
for exe in vidmill vidmill-cli; do
  if [ -f "$APP/$exe" ] && [ ! -L "$APP/$exe" ] && [ -x "$APP/$exe" ]; then
    pass "$APPDIR/$exe is an executable file"
  else
    fail "$APPDIR/$exe is not an executable file"
  fi
  if [ ! -L "$BIN/$exe" ]; then
    fail "$BINDIR/$exe is not a symbolic link"
  else
    target=$(readlink "$BIN/$exe")
    case $target in
      /*) fail "$BINDIR/$exe links to the absolute path $target (breaks a staged install)" ;;
    esac
    if [ "$(readlink -f "$BIN/$exe")" = "$(readlink -f "$APP/$exe")" ]; then
      pass "$BINDIR/$exe -> $target"
    else
      fail "$BINDIR/$exe resolves to $(readlink -f "$BIN/$exe"), not to $APP/$exe"
    fi
  fi
done

# ---- the LibAV folder ----
EXPECTED_LIBS="libavcodec.so.59 libavfilter.so.8 libavformat.so.59 libavutil.so.57 libswscale.so.6
  libswresample.so.4 libSDL2-2.0.so.0 libopencore-amrnb.so.0 libmyutil.so"
for lib in $EXPECTED_LIBS; do
  if [ -e "$APP/LibAV/$lib" ] && [ -r "$APP/LibAV/$lib" ]; then
    pass "LibAV/$lib resolves to $(readlink -f "$APP/LibAV/$lib")"
  else
    fail "LibAV/$lib is missing or a dangling link"
  fi
done
# The build's folder is the reference: everything in it must be installed.
for entry in "$BUILD"/bin/LibAV/*; do
  name=${entry##*/}
  [ -e "$APP/LibAV/$name" ] || fail "LibAV/$name of the build folder is not installed"
done
# libmyutil.so is the project's own: a copy, never a link into the build.
if [ -f "$APP/LibAV/libmyutil.so" ] && [ ! -L "$APP/LibAV/libmyutil.so" ]; then
  pass "LibAV/libmyutil.so is an installed file"
else
  fail "LibAV/libmyutil.so is not a file of its own"
fi

# Nothing installed may point into the build tree (links, run paths).
find "$PREFIX" -type l | while IFS= read -r link; do
  case $(readlink -f "$link") in
    "$BUILD"/*) echo "$link" ;;
  esac
done >"$TMP/build-links"
if [ -s "$TMP/build-links" ]; then
  fail "links into the build tree: $(cat "$TMP/build-links")"
else
  pass "no link points into the build tree"
fi
if command -v readelf >/dev/null 2>&1; then
  for elf in "$APP/vidmill" "$APP/vidmill-cli" "$APP/LibAV/libmyutil.so"; do
    if readelf -d "$elf" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -F "$BUILD" >/dev/null; then
      fail "${elf#"$PREFIX"/} keeps a run path into the build tree"
    fi
  done
  pass "no run path into the build tree"
fi

# ---- Config.ini ----
CONFIG=$APP/Config.ini
if [ ! -f "$CONFIG" ]; then
  fail "$APPDIR/Config.ini is missing"
else
  # It is the pristine default, whatever the build's own copy holds by now.
  "$CMAKE" -DCONFIG_FILE="$TMP/Config.default" -DAPP_VERSION="$VERSION" -P "$CONFIG_SCRIPT" ||
    fail "the default settings script failed"
  if cmp -s "$CONFIG" "$TMP/Config.default"; then
    pass "Config.ini is the default settings file"
  else
    fail "Config.ini differs from the default settings: $(diff "$TMP/Config.default" "$CONFIG")"
  fi
  for line in '[Config]' 'appname=Vidmill' "appver=$VERSION" 'dir=同一目录'; do
    grep -qxF "$line" "$CONFIG" || fail "Config.ini lacks the line $line"
  done
  # Users must not be able to change the shipped settings.
  perms=$(stat -c %a "$CONFIG")
  case $perms in
    *[2367]?|*[2367]) fail "Config.ini is writable by group or others ($perms)" ;;
  esac
fi

# ---- help pages ----
# Beside the executable, where the help action opens them, each the page of
# its language.
for page in help_zh.html:zh-CN help_en.html:en; do
  name=${page%%:*}
  if [ ! -s "$APP/$name" ]; then
    fail "$APPDIR/$name is missing or empty"
  elif ! grep -q "<html lang=\"${page#*:}\">" "$APP/$name"; then
    fail "$APPDIR/$name is not the ${page#*:} help page"
  else
    pass "help page $APPDIR/$name"
  fi
done

# ---- desktop entry ----
DESKTOP=$SHARE/applications/vidmill.desktop
if [ ! -f "$DESKTOP" ]; then
  fail "$DATADIR/applications/vidmill.desktop is missing"
else
  if command -v desktop-file-validate >/dev/null 2>&1; then
    if out=$(desktop-file-validate "$DESKTOP" 2>&1) && [ -z "$out" ]; then
      pass "desktop-file-validate accepts vidmill.desktop"
    else
      fail "desktop-file-validate: $out"
    fi
  else
    echo "note: desktop-file-validate is not installed; checking the entry's keys only"
  fi
  value() { sed -n "s/^$1=//p" "$DESKTOP" | head -n 1; }
  [ "$(sed -n 1p "$DESKTOP")" = "[Desktop Entry]" ] || fail "vidmill.desktop does not start with [Desktop Entry]"
  [ "$(value Type)" = Application ] || fail "vidmill.desktop: Type is not Application"
  [ -n "$(value Name)" ] || fail "vidmill.desktop has no Name"
  [ "$(value Terminal)" = false ] || fail "vidmill.desktop: Terminal is not false"
  exec_prog=$(value Exec | cut -d' ' -f1)
  if [ -n "$exec_prog" ] && [ -x "$BIN/$exec_prog" ]; then
    pass "desktop entry runs $BINDIR/$exec_prog"
  else
    fail "desktop entry's Exec ($exec_prog) is not an installed command in $BINDIR"
  fi
  ICON_NAME=$(value Icon)
  [ "$ICON_NAME" = vidmill ] || fail "desktop entry's Icon is \"$ICON_NAME\", not vidmill"
fi

# ---- the man page and bash completion of vidmill-cli ----
MAN=$SHARE/man/man1/vidmill-cli.1
COMPLETION=$SHARE/bash-completion/completions/vidmill-cli
if [ -f "$MAN" ] && head -n 1 "$MAN" | grep -q '^\.TH VIDMILL'; then
  pass "man page $DATADIR/man/man1/vidmill-cli.1"
else
  fail "the man page vidmill-cli.1 is missing or not a man page"
fi
if [ -f "$COMPLETION" ] && bash -n "$COMPLETION" && grep -q '^complete .* vidmill-cli$' "$COMPLETION"; then
  pass "bash completion $DATADIR/bash-completion/completions/vidmill-cli"
else
  fail "the bash completion of vidmill-cli is missing or does not parse"
fi

# ---- icons ----
ICONS=$SHARE/icons/hicolor
SVG=$ICONS/scalable/apps/vidmill.svg
if [ ! -f "$SVG" ]; then
  fail "the scalable icon is missing"
elif command -v xmllint >/dev/null 2>&1 && ! xmllint --noout "$SVG" 2>"$TMP/xmllint.log"; then
  fail "vidmill.svg is not well-formed: $(cat "$TMP/xmllint.log")"
elif ! grep -q '<svg[ >]' "$SVG"; then
  fail "vidmill.svg has no <svg> element"
else
  pass "scalable icon $DATADIR/icons/hicolor/scalable/apps/vidmill.svg"
fi
# A PNG's width and height: bytes 16-23 of the file, big-endian.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }'; }
for size in $ICON_SIZES; do
  png=$ICONS/${size}x$size/apps/vidmill.png
  if [ ! -f "$png" ]; then
    fail "icon ${size}x$size is missing"
    continue
  fi
  signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
  if [ "$signature" != 89504e470d0a1a0a ]; then
    fail "icon ${size}x$size is not a PNG"
  elif [ "$(png_size "$png")" != "${size}x$size" ]; then
    fail "icon ${size}x$size measures $(png_size "$png")"
  else
    pass "icon ${size}x$size"
  fi
done

# ---- the installed command-line program ----
# A home of its own: nothing may touch the user's settings.
mkdir -p "$TMP/home/.config" "$TMP/work"
RUN_ENV="HOME=$TMP/home XDG_CONFIG_HOME=$TMP/home/.config"
cd "$TMP/work" || exit 1

if env $RUN_ENV "$BIN/vidmill-cli" --help >"$TMP/help.out" 2>"$TMP/help.err" &&
   grep -q '^Usage: vidmill-cli' "$TMP/help.out"; then
  pass "installed vidmill-cli --help"
else
  fail "installed vidmill-cli --help: $(cat "$TMP/help.out" "$TMP/help.err")"
fi

# A probe and a conversion load every library through the installed LibAV
# folder (libmyutil.so is nowhere else on the system's search path), and the
# 3GP default audio needs opencore-amrnb.
if ! "$MKMEDIA" --container avi --size 160x120 --duration 1 "$TMP/work/clip.avi" >"$TMP/mkmedia.log" 2>&1; then
  fail "could not make a test clip: $(cat "$TMP/mkmedia.log")"
else
  if env $RUN_ENV "$BIN/vidmill-cli" --probe "$TMP/work/clip.avi" >"$TMP/probe.out" 2>"$TMP/probe.err" &&
     [ -s "$TMP/probe.out" ]; then
    pass "installed vidmill-cli --probe"
  else
    fail "installed vidmill-cli --probe: $(cat "$TMP/probe.out" "$TMP/probe.err")"
  fi
  mkdir -p "$TMP/work/out"
  if env $RUN_ENV "$BIN/vidmill-cli" --format 3gp --out "$TMP/work/out" --jobs 1 "$TMP/work/clip.avi" \
       >"$TMP/convert.out" 2>"$TMP/convert.err" &&
     [ -s "$TMP/work/out/clip_(new).3gp" ]; then
    pass "installed vidmill-cli converts to 3GP"
  else
    fail "installed vidmill-cli conversion: $(ls "$TMP/work/out") $(cat "$TMP/convert.out" "$TMP/convert.err")"
  fi
fi

# ---- the installed window ----
# The program takes no command line and has no quit request from outside:
# it must still be running after 2 s (no crash, no early exit at start), is
# then stopped with SIGTERM, and must die of that signal, not another.
env $RUN_ENV QT_QPA_PLATFORM=offscreen "$BIN/vidmill" >"$TMP/gui.out" 2>"$TMP/gui.err" &
GUI_PID=$!
sleep 2
if kill -0 "$GUI_PID" 2>/dev/null; then
  # Every mapped file of the project comes from the installed tree.
  if grep -F "$BUILD/" "/proc/$GUI_PID/maps" >"$TMP/gui.maps" 2>/dev/null; then
    fail "the installed window maps files of the build tree: $(awk '{print $6}' "$TMP/gui.maps" | sort -u)"
  fi
  kill -TERM "$GUI_PID"
  wait "$GUI_PID"
  status=$?
  GUI_PID=
  if [ "$status" -eq 143 ]; then
    pass "installed vidmill ran for 2 s under the offscreen platform and stopped on SIGTERM"
  else
    fail "installed vidmill ended with status $status after SIGTERM: $(cat "$TMP/gui.err")"
  fi
else
  wait "$GUI_PID"
  status=$?
  GUI_PID=
  fail "installed vidmill ended within 2 s (status $status): $(cat "$TMP/gui.out" "$TMP/gui.err")"
fi

# Running the installed programs wrote nothing into the installed tree.
( cd "$PREFIX" && find . | LC_ALL=C sort ) >"$TMP/tree.after"
[ ! -f "$CONFIG" ] || cmp -s "$CONFIG" "$TMP/Config.installed" || fail "Config.ini changed while the programs ran"
if cmp -s "$TMP/tree.before" "$TMP/tree.after"; then
  pass "the programs wrote nothing into the installed tree"
else
  fail "the installed tree changed while the programs ran: $(diff "$TMP/tree.before" "$TMP/tree.after")"
fi

if [ "$FAILURES" -ne 0 ]; then
  echo "$FAILURES check(s) failed" >&2
  exit 1
fi
echo "all installation checks passed"
