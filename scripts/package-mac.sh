#!/usr/bin/env bash
# Makes the shippable disk image from a built installer.app (macOS only):
#
#   scripts/package-mac.sh <installer.app> [output folder]
#
#   1. copies the bundle to <output folder>/installer.app (default: a folder
#      "package" beside the bundle) and works on the copy;
#   2. copies every library the program needs that is not part of macOS
#      (anything outside /usr/lib and /System, e.g. Homebrew's) into
#      Contents/Frameworks, following their own dependencies, and rewrites
#      install names to @rpath/<name>, so the bundle starts on a Mac without
#      Homebrew;
#   3. signs the libraries, then the bundle: with the hardened runtime and a
#      secure timestamp when ZENTAK_SIGN_IDENTITY names a signing identity,
#      ad hoc otherwise;
#   4. makes the disk image "<volume name>[ <tags>].dmg" with hdiutil, signs
#      it, and when notary credentials are given, notarises and staples it.
#
# The installer reads its distribution name (browser, staging and web user id
# tags) from the file name of the disk image mounted at
# "/Volumes/Zentak Reel Maker Installer", so the volume name stays fixed and
# the tags go into the image's file name.
#
# Environment:
#   ZENTAK_SIGN_IDENTITY            e.g. "Developer ID Application: Zentak (TEAMID)";
#                                   empty or "-": ad-hoc signature
#   ZENTAK_DMG_TAGS                 e.g. "SetupS_STG7_W123_": appended to the image's name
#   ZENTAK_NOTARY_KEYCHAIN_PROFILE  a profile saved with "xcrun notarytool store-credentials", or
#   ZENTAK_NOTARY_APPLE_ID, ZENTAK_NOTARY_TEAM_ID, ZENTAK_NOTARY_PASSWORD
#                                   (an app-specific password)
set -euo pipefail

volume_name="Zentak Reel Maker Installer"

die() { echo "package-mac: $*" >&2; exit 1; }
say() { printf '== %s\n' "$*"; }

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  die "usage: scripts/package-mac.sh <installer.app> [output folder]"
fi
[ "$(uname -s)" = Darwin ] || die "runs on macOS only (otool, install_name_tool, codesign, hdiutil)"
source_app=${1%/}
[ -x "$source_app/Contents/MacOS/installer" ] || die "$source_app/Contents/MacOS/installer is missing"
out=${2:-$(dirname "$source_app")/package}
mkdir -p "$out"
out=$(cd "$out" && pwd)

identity=${ZENTAK_SIGN_IDENTITY:--}
tags=${ZENTAK_DMG_TAGS:-}

app=$out/installer.app
program=$app/Contents/MacOS/installer
frameworks=$app/Contents/Frameworks
work=$(mktemp -d "${TMPDIR:-/tmp}/package-mac.XXXXXX")
trap 'rm -rf "$work"' EXIT
# One file per bundled library, holding the path it was copied from: its
# @loader_path and its rpaths refer to that place.
origins=$work/origins
mkdir -p "$origins"

say "Copying $source_app to $app"
rm -rf "$app"
ditto "$source_app" "$app"
mkdir -p "$frameworks"

is_system() {
  case "$1" in
    /usr/lib/* | /System/*) return 0 ;;
  esac
  return 1
}

# The libraries a binary loads, one install name a line, without its own id.
dependencies() {
  local binary=$1 own=""
  case "$binary" in
    *.dylib) own=$(otool -D "$binary" | sed -n '2p') ;;
  esac
  otool -L "$binary" | sed -n '2,$p' |
    sed -E 's/^[[:space:]]+//; s/ \(compatibility version [^)]*\)$//' |
    while IFS= read -r name; do
      [ -n "$name" ] && [ "$name" != "$own" ] && printf '%s\n' "$name"
    done
  return 0
}

# The LC_RPATH entries of a binary, one a line.
rpaths() {
  otool -l "$1" | awk '
    $1 == "cmd" && $2 == "LC_RPATH" { want = 1; next }
    want && $1 == "path" { sub(/^[[:space:]]*path /, ""); sub(/ \(offset [0-9]+\)$/, ""); print; want = 0 }'
}

# Where a binary of the bundle came from: a copied library's original place,
# or its own place for the program and the libraries the build put there.
origin_of() {
  local name
  name=$(basename "$1")
  if [ -f "$origins/$name" ]; then
    cat "$origins/$name"
  else
    printf '%s\n' "$1"
  fi
}

# The file an install name written in <binary> refers to; empty when none.
resolve() {
  local binary=$1 name=$2 origin dir rpath candidate
  origin=$(origin_of "$binary")
  dir=$(dirname "$origin")
  case "$name" in
    @rpath/*)
      if [ -f "$frameworks/${name#@rpath/}" ]; then
        printf '%s\n' "$frameworks/${name#@rpath/}"
        return 0
      fi
      while IFS= read -r rpath; do
        case "$rpath" in
          @loader_path*) rpath=$dir${rpath#@loader_path} ;;
          @executable_path*) rpath=$(dirname "$program")${rpath#@executable_path} ;;
        esac
        candidate=$rpath/${name#@rpath/}
        if [ -f "$candidate" ]; then
          printf '%s\n' "$candidate"
          return 0
        fi
      done < <(rpaths "$origin")
      ;;
    @loader_path/*) [ -f "$dir/${name#@loader_path/}" ] && printf '%s\n' "$dir/${name#@loader_path/}" ;;
    @executable_path/*) [ -f "$(dirname "$program")/${name#@executable_path/}" ] &&
      printf '%s\n' "$(dirname "$program")/${name#@executable_path/}" ;;
    /*) [ -f "$name" ] && printf '%s\n' "$name" ;;
  esac
  return 0
}

say "Bundling the libraries that are not part of macOS"
queue=$work/queue
printf '%s\n' "$program" >"$queue"
find "$frameworks" -maxdepth 1 -type f -name '*.dylib' >>"$queue"
done_count=0
while :; do
  binary=$(sed -n "$((done_count + 1))p" "$queue")
  [ -n "$binary" ] || break
  done_count=$((done_count + 1))
  dependencies "$binary" >"$work/deps"
  while IFS= read -r name; do
    is_system "$name" && continue
    file=$(resolve "$binary" "$name")
    [ -n "$file" ] || die "$binary needs $name, which is not found"
    base=$(basename "$name")
    target=$frameworks/$base
    if [ "$file" != "$target" ]; then
      if [ ! -f "$target" ]; then
        echo "  $base (from $file)"
        cp -L "$file" "$target"
        chmod u+w "$target"
        printf '%s\n' "$file" >"$origins/$base"
        install_name_tool -id "@rpath/$base" "$target"
        printf '%s\n' "$target" >>"$queue"
      elif [ -f "$origins/$base" ] && [ "$(cat "$origins/$base")" != "$file" ]; then
        die "two different libraries named $base: $(cat "$origins/$base") and $file"
      fi
    fi
    if [ "$name" != "@rpath/$base" ]; then
      install_name_tool -change "$name" "@rpath/$base" "$binary"
    fi
  done <"$work/deps"
done

# The program's rpath finds every bundled library, also for the libraries'
# own dependencies; rpaths into the build machine's folders go.
while IFS= read -r binary; do
  while IFS= read -r rpath; do
    case "$rpath" in
      @*) ;;
      *) install_name_tool -delete_rpath "$rpath" "$binary" ;;
    esac
  done < <(rpaths "$binary")
done <"$queue"
if ! rpaths "$program" | grep -qxF '@executable_path/../Frameworks'; then
  install_name_tool -add_rpath '@executable_path/../Frameworks' "$program"
fi

say "Checking that nothing outside the bundle and macOS is loaded"
status=0
while IFS= read -r binary; do
  while IFS= read -r name; do
    case "$name" in
      @rpath/* | @executable_path/* | @loader_path/*) ;;
      *) is_system "$name" || { echo "  $binary still loads $name" >&2; status=1; } ;;
    esac
  done < <(dependencies "$binary")
done <"$queue"
[ $status -eq 0 ] || die "libraries outside the bundle remain"

say "Signing (identity: $identity)"
if [ "$identity" = "-" ]; then
  # An ad-hoc signature carries no team, and the hardened runtime's library
  # validation refuses to load a library whose team differs from the
  # program's, even when neither has one: ad-hoc bundles are signed without
  # it. A secure timestamp needs a real identity.
  sign() { codesign --force --timestamp=none --sign - "$1"; }
else
  sign() { codesign --force --options runtime --timestamp --sign "$identity" "$1"; }
fi
# Inside out: the libraries first, the bundle (and with it the program and
# the sealed resources) last.
find "$frameworks" -maxdepth 1 -type f -name '*.dylib' | while IFS= read -r library; do
  sign "$library"
done
sign "$app"
codesign --verify --deep --strict "$app"

say "Making the disk image"
image_name=$volume_name
[ -n "$tags" ] && image_name="$volume_name $tags"
dmg=$out/$image_name.dmg
stage=$work/image
mkdir -p "$stage"
ditto "$app" "$stage/installer.app"
rm -f "$dmg"
hdiutil create -volname "$volume_name" -srcfolder "$stage" -format UDZO -ov "$dmg"

if [ "$identity" != "-" ]; then
  codesign --force --timestamp --sign "$identity" "$dmg"
  notary=()
  if [ -n "${ZENTAK_NOTARY_KEYCHAIN_PROFILE:-}" ]; then
    notary=(--keychain-profile "$ZENTAK_NOTARY_KEYCHAIN_PROFILE")
  elif [ -n "${ZENTAK_NOTARY_APPLE_ID:-}" ] && [ -n "${ZENTAK_NOTARY_TEAM_ID:-}" ] &&
    [ -n "${ZENTAK_NOTARY_PASSWORD:-}" ]; then
    notary=(--apple-id "$ZENTAK_NOTARY_APPLE_ID" --team-id "$ZENTAK_NOTARY_TEAM_ID"
      --password "$ZENTAK_NOTARY_PASSWORD")
  fi
  if [ ${#notary[@]} -gt 0 ]; then
    say "Notarising $dmg"
    # notarytool's exit status does not say whether the submission was
    # accepted; its final status line does.
    result=$(xcrun notarytool submit "$dmg" "${notary[@]}" --wait) || die "notarytool failed: $result"
    printf '%s\n' "$result"
    printf '%s\n' "$result" | grep -q 'status: Accepted' ||
      die "the notary service did not accept $dmg (xcrun notarytool log <id> says why)"
    xcrun stapler staple "$dmg"
  else
    say "No notary credentials: the image is signed, not notarised"
  fi
fi

echo "Bundle:     $app"
echo "Disk image: $dmg"
