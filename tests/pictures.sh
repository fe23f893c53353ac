#!/usr/bin/env bash
# The pictures in docs/, drawn from the code (scripts/pictures) and checked against it (the docs_pictures
# test).
#
#   pictures.sh draw BUILD OUTPUT      draws every picture into OUTPUT with the programs built in BUILD
#   pictures.sh check BUILD SOURCE     draws them into BUILD/pictures and compares them, pixel by pixel,
#                                      with SOURCE/docs; any difference fails, naming scripts/pictures
set -euo pipefail

# Picture, then the console-shot state that draws it.
window_pictures=(
  window.png:window
  session-help.png:session-help
  session-download.png:session-download
  terminal.png:terminal
  selection.png:selection
  menu.png:menu
  hint.png:hint
  capture.png:capture
  port-failure.png:port-failure
  line-error.png:line-error
)
# The *-before.png pictures show the lettering before the 8x12 face and are kept as they were taken.
lettering_pictures=(ascii-face.png help-screen-after.png line-drawing.png)

# The console-shot state that draws picture $1 (nothing for the lettering).
state_of() {
  local entry
  for entry in "${window_pictures[@]}"; do [ "${entry%%:*}" != "$1" ] || echo "${entry#*:}"; done
}

draw() {
  local build=$1 out=$2 entry
  mkdir -p "$out"
  export QT_QPA_PLATFORM=offscreen
  # The pictures are the same whatever the caller's locale and Qt settings.
  unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_FONT_DPI QT_STYLE_OVERRIDE
  export LANG=C.UTF-8 LC_ALL=C.UTF-8
  local log scratch
  log=$(mktemp)
  # The fonts are the ones the package depends on (Nanum) and the one the system draws Latin text with
  # (DejaVu), with the system's own settings, and nothing from the user's folders: another font installed
  # on the desk must not change a picture.
  scratch=$(mktemp -d)
  cat > "$scratch/fonts.conf" <<CONF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <dir>/usr/share/fonts/truetype/dejavu</dir>
  <dir>/usr/share/fonts/truetype/nanum</dir>
  <cachedir>$scratch/cache</cachedir>
  <include ignore_missing="yes">/etc/fonts/conf.d</include>
</fontconfig>
CONF
  export FONTCONFIG_FILE=$scratch/fonts.conf HOME=$scratch XDG_CONFIG_HOME=$scratch XDG_DATA_HOME=$scratch
  export XDG_CACHE_HOME=$scratch
  # Qt's offscreen platform has its say about what it cannot do (raise, grab the keyboard); only a failure
  # is worth showing.
  for entry in "${window_pictures[@]}"; do
    "$build/pictures/console-shot" "$out/${entry%%:*}" "${entry#*:}" 2> "$log" \
      || { cat "$log" >&2; rm -f "$log"; echo "pictures: console-shot could not draw ${entry%%:*}" >&2; exit 1; }
    echo "wrote $out/${entry%%:*}"
  done
  "$build/pictures/shoot_glyphs" "$out" > /dev/null 2> "$log" \
    || { cat "$log" >&2; rm -f "$log"; echo "pictures: shoot_glyphs could not draw its pictures" >&2; exit 1; }
  rm -f "$log"
  drawn_fonts=$scratch   # removed on exit: a picture drawn again in check needs the same fonts
  for entry in "${lettering_pictures[@]}"; do echo "wrote $out/$entry"; done
}

check() {
  local build=$1 source=$2 drawn=$1/pictures/drawn name differing=() count state
  command -v compare >/dev/null || { echo "docs_pictures: FAIL: compare (imagemagick) is missing; run scripts/setup" >&2; exit 1; }
  rm -rf "$drawn"
  draw "$build" "$drawn" >/dev/null
  for name in "${window_pictures[@]%%:*}" "${lettering_pictures[@]}"; do
    if [ ! -f "$source/docs/$name" ]; then
      differing+=("$name (not in docs/)")
      continue
    fi
    # The number of pixels that differ at all; a picture of another size fails as a whole.
    count=$(compare -metric AE "$source/docs/$name" "$drawn/$name" null: 2>&1) || true
    # The system's words in the port-failure message depend on which call of the port noticed the hang-up
    # first, so a window picture that differs is drawn again (twice at most) before it counts as changed.
    for state in $(state_of "$name") $(state_of "$name"); do
      [ "$count" != 0 ] || break
      "$build/pictures/console-shot" "$drawn/$name" "$state" 2>/dev/null || true
      count=$(compare -metric AE "$source/docs/$name" "$drawn/$name" null: 2>&1) || true
    done
    [ "$count" = 0 ] || differing+=("$name ($count)")
  done
  if [ ${#differing[@]} -gt 0 ]; then
    echo "docs_pictures: FAIL: these pictures in docs/ no longer show what the code draws (pixels that differ):" >&2
    printf '  %s\n' "${differing[@]}" >&2
    echo "docs_pictures: run scripts/pictures to draw them again, look at them, and commit docs/." >&2
    echo "docs_pictures: what the code draws now is in $drawn/." >&2
    exit 1
  fi
  echo "docs_pictures: all ${#window_pictures[@]} + ${#lettering_pictures[@]} pictures in docs/ match the code"
}

drawn_fonts=
trap '[ -z "$drawn_fonts" ] || rm -rf "$drawn_fonts"' EXIT

case ${1:-} in
  draw) draw "$2" "$3" ;;
  check) check "$2" "$3" ;;
  *) echo "usage: pictures.sh draw BUILD OUTPUT | check BUILD SOURCE" >&2; exit 2 ;;
esac
