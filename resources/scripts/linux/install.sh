#!/bin/sh
# install.sh <package> <folder> [key value]...
#
# Given a package file (a gzip-compressed tar archive holding one
# <Name>.app folder), installs it into the Applications folder, replacing an
# older copy. Given a folder, starts the product <bundle_name>.app in it,
# detached. Exits 0 only on success; every failure prints one line.
#
# The archive is checked before anything is extracted and unpacked into a
# staging folder beside the Applications folder; the product appears under
# its name only by rename, so a failed or interrupted install never leaves
# half a product.
set -u

fail() {
  echo "install: $*"
  exit 1
}

[ $# -ge 2 ] || fail "expected a package and its folder"
package=$1
shift 2

bundle_name=""
while [ $# -ge 2 ]; do
  if [ "$1" = "bundle_name" ]; then
    bundle_name=$2
  fi
  shift 2
done

valid_name() {
  case "$1" in
    "" | . | .. | */* | .*) return 1 ;;
  esac
  return 0
}

if [ -d "$package" ]; then
  valid_name "$bundle_name" || fail "no valid bundle_name to start in $package"
  program="$package/$bundle_name.app/Contents/MacOS/$bundle_name"
  [ -f "$program" ] && [ -x "$program" ] || fail "cannot start $program"
  # Detached, with its output away from the installer's pipe.
  setsid "$program" </dev/null >/dev/null 2>&1 &
  exit 0
fi

[ -f "$package" ] || fail "package $package not found"

apps=${ZENTAK_APPLICATIONS_DIR:-${HOME:-}/Applications}
[ -n "${HOME:-}${ZENTAK_APPLICATIONS_DIR:-}" ] || fail "no Applications folder (HOME is not set)"
mkdir -p "$apps" 2>/dev/null || fail "cannot create the Applications folder $apps"

# A staging folder whose install was killed outright (no trap ran) is
# tidied up by the next install: its old copy goes back if it had already
# stepped aside, and the partial product is removed. A folder whose
# installer still runs is left alone.
for leftover in "$apps"/.installing.*; do
  [ -d "$leftover" ] || continue
  owner=$(cat "$leftover/pid" 2>/dev/null)
  if [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null; then
    continue
  fi
  if [ -e "$leftover/previous" ] && [ -f "$leftover/target" ]; then
    previous_target=$(cat "$leftover/target")
    [ -e "$previous_target" ] || mv -T "$leftover/previous" "$previous_target" 2>/dev/null
  fi
  rm -rf "$leftover"
done

staging=$(mktemp -d "$apps/.installing.XXXXXX" 2>/dev/null) ||
  fail "cannot create a staging folder in $apps"
echo $$ >"$staging/pid"
target=""
cleanup() {
  # Interrupted between the two renames: the old copy goes back.
  if [ -n "$target" ] && [ ! -e "$target" ] && [ -e "$staging/previous" ]; then
    mv -T "$staging/previous" "$target" 2>/dev/null
  fi
  rm -rf "$staging"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# One pass over the compressed bytes: the archive is unpacked into the
# staging folder while a second reader lists its members as stored. GNU tar
# strips leading "/" and "../" and makes links only after every file is
# written, so nothing lands outside the staging folder even before the
# checks below refuse such a package.
members="$staging/members"
failed="$staging/failed"
mkdir "$staging/root" || fail "cannot create a staging folder in $apps"
mkfifo "$staging/listing" || fail "cannot create a staging folder in $apps"
{ tar -t <"$staging/listing" >"$members" 2>/dev/null || echo list >>"$failed"; } &
lister=$!
{ gzip -dc <"$package" 2>/dev/null || echo gzip >>"$failed"; } |
  { tee "$staging/listing" 2>/dev/null || echo tee >>"$failed"; } |
  { tar -x -C "$staging/root" --no-same-owner 2>/dev/null || echo extract >>"$failed"; }
wait "$lister"

if grep -q -e gzip -e list "$failed" 2>/dev/null; then
  fail "package $package is not a readable gzip tar archive"
fi

top=""
while IFS= read -r member; do
  case "$member" in
    /*) fail "package $package holds an absolute path: $member" ;;
  esac
  case "/$member/" in
    */../*) fail "package $package holds a path that leaves its folder: $member" ;;
  esac
  first=${member%%/*}
  [ "$first" = "." ] && fail "package $package holds a path that starts with ./: $member"
  if [ -z "$top" ]; then
    top=$first
  elif [ "$first" != "$top" ]; then
    fail "package $package holds more than one top-level entry: $top and $first"
  fi
done <"$members"

case "$top" in
  *.app) ;;
  *) fail "package $package does not hold a single <Name>.app folder" ;;
esac
name=${top%.app}
valid_name "$name" || fail "package $package names an invalid product: $top"

root=$(cd "$staging/root" && pwd -P)
links=$(find "$root" -type l) || fail "cannot inspect the extracted package"
if [ -n "$links" ]; then
  echo "$links" >"$staging/links"
  while IFS= read -r link; do
    target=$(realpath -m -- "$link")
    case "$target" in
      "$root"/*) ;;
      *) fail "package $package holds a link that points outside: ${link#"$root"/}" ;;
    esac
  done <"$staging/links"
fi

[ -s "$failed" ] && fail "package $package cannot be extracted"

product="$root/$top"
[ -d "$product" ] && [ ! -L "$product" ] || fail "package $package does not hold a $top folder"
program="$product/Contents/MacOS/$name"
[ -f "$program" ] && [ -x "$program" ] || fail "package $package has no program Contents/MacOS/$name"

target="$apps/$top"
echo "$target" >"$staging/target"
if [ -e "$target" ] || [ -L "$target" ]; then
  # The old copy steps aside by rename, the new one takes its name by
  # rename; the old one is removed with the staging folder.
  mv -T "$target" "$staging/previous" || fail "cannot move the installed $top aside"
fi
if ! mv -T "$product" "$target"; then
  mv -T "$staging/previous" "$target" 2>/dev/null
  fail "cannot move $top into $apps"
fi
echo "install: $top installed into $apps"
exit 0
