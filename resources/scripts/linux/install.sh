#!/bin/sh
# install.sh <package> <folder> [key value]...
#
# Given a package file (a gzip-compressed tar archive holding one
# <Name>.app folder), installs it into the Applications folder, replacing an
# older copy. Given a folder, starts the product <bundle_name>.app in it,
# detached. Exits 0 only on success; every failure prints one line.
#
# The archive is unpacked into a staging folder beside the Applications
# folder and checked there; the product appears under its name only by
# rename, so a failed or interrupted install never leaves half a product.
set -u
# The installer reading our output may be gone (killed): a write must then
# fail, not kill the script before it has tidied up.
trap '' PIPE
umask 022

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
if [ ! -d "$apps" ]; then
  mkdir -p "$apps" 2>/dev/null || fail "cannot create the Applications folder $apps"
  # Made with administrator rights for a user: it is the user's folder.
  [ "$(id -u)" -eq 0 ] && chown "$(stat -c %u:%g "$apps/..")" "$apps" 2>/dev/null
fi
# What we install belongs to whoever owns the Applications folder, not to
# the administrator whose rights unpacked it.
owner=$(stat -c %u:%g "$apps") || fail "cannot read the owner of $apps"

# Set before the staging folder exists, so that a stop in any moment after
# it was made still removes it.
staging=""
target=""
cleanup() {
  # A second signal must not cut the tidying short.
  trap '' INT TERM HUP
  [ -n "$staging" ] || return 0
  # Interrupted between the two renames: the old copy goes back.
  if [ -n "$target" ] && [ ! -e "$target" ] && [ -e "$staging/previous" ]; then
    mv -T "$staging/previous" "$target" 2>/dev/null
  fi
  rm -rf "$staging"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Staging folders are created and swept while holding a lock on the
# Applications folder itself; each staging folder is owned through a lock on
# its "lock" file, held by this shell and everything it starts. A folder
# whose lock is free belongs to an install that ended without tidying (killed
# outright): its old copy goes back if it had already stepped aside, and the
# partial product is removed. A process id would not do: it outlives its
# process as a zombie and is reused.
exec 8<"$apps" || fail "cannot open the Applications folder $apps"
flock -w 60 8 || fail "another install keeps $apps locked"
# Whoever may write the Applications folder may have planted what is found
# there, and we may run as root: links are never followed, and the place
# the old copy goes back to must be a product's place in this folder.
for leftover in "$apps"/.installing.*; do
  if [ -L "$leftover" ]; then
    rm -f "$leftover"
    continue
  fi
  [ -d "$leftover" ] || continue
  if [ -f "$leftover/lock" ] && [ ! -L "$leftover/lock" ]; then
    flock -n "$leftover/lock" true 2>/dev/null || continue
  fi
  if [ -e "$leftover/previous" ] && [ -f "$leftover/target" ] && [ ! -L "$leftover/target" ]; then
    previous_target=$(cat "$leftover/target")
    case "$previous_target" in
      "$apps"/*.app) previous_name=${previous_target#"$apps"/} ;;
      *) previous_name="" ;;
    esac
    if valid_name "${previous_name%.app}" && [ ! -e "$previous_target" ] &&
      [ ! -L "$previous_target" ]; then
      mv -T "$leftover/previous" "$previous_target" 2>/dev/null
    fi
  fi
  rm -rf "$leftover"
done

staging=$(mktemp -d "$apps/.installing.XXXXXX" 2>/dev/null) ||
  fail "cannot create a staging folder in $apps"
exec 9>"$staging/lock" && flock -n 9 || fail "cannot lock the staging folder $staging"
exec 8<&-

# The unpacked archive may take at most the free space of the volume, less
# a little for the file system's own records; the decompressed stream is cut
# there, so a small package of endless zeros cannot fill the disk.
reserve=$((8 * 1024 * 1024))
free_kib=$(df -Pk "$apps" 2>/dev/null | awk 'NR == 2 { print $4 }')
case "$free_kib" in
  "" | *[!0-9]*) fail "cannot read the free space of $apps" ;;
esac
allowed=$((free_kib * 1024 - reserve))
[ "$allowed" -gt 0 ] || allowed=0

# One pass over the compressed bytes: the archive is unpacked into the
# staging folder while a second reader lists its members as stored and a
# third counts them. GNU tar strips leading "/" and "../" and makes links
# only after every file is written, so nothing lands outside the staging
# folder even before the checks below refuse such a package.
#
# The unpacker's and the lister's own exit statuses decide: the marks the
# other stages leave are written to the volume being filled and may be lost
# when it is full.
members="$staging/members"
failed="$staging/failed"
mkdir "$staging/root" || fail "cannot create a staging folder in $apps"
mkfifo "$staging/listing" "$staging/counting" || fail "cannot create a staging folder in $apps"
tar -t <"$staging/listing" >"$members" 2>/dev/null &
lister=$!
wc -c <"$staging/counting" >"$staging/count" 2>/dev/null &
counter=$!
{ gzip -dc <"$package" 2>/dev/null || echo gzip >>"$failed"; } |
  { head -c "$allowed" 2>/dev/null || echo head >>"$failed"; } |
  { tee "$staging/listing" "$staging/counting" 2>/dev/null || echo tee >>"$failed"; } |
  tar -x -C "$staging/root" --no-same-owner --no-same-permissions 2>/dev/null
extracted=$?
wait "$lister"
listed=$?
wait "$counter"
[ "$extracted" -eq 0 ] && [ "$listed" -eq 0 ] && [ ! -s "$failed" ]
unpack_failed=$?

# Cut at the allowance, or the volume filled up under the unpacker (many
# small files take more blocks than the bytes they are made of): either
# way the package does not fit.
unpacked=$(tr -d ' ' <"$staging/count" 2>/dev/null)
if [ "$unpack_failed" -ne 0 ]; then
  if [ "${unpacked:-0}" -ge "$allowed" ]; then
    fail "package $package does not fit into the free space of $apps: it unpacks to more than $allowed bytes"
  fi
  free_now_kib=$(df -Pk "$apps" 2>/dev/null | awk 'NR == 2 { print $4 }')
  case "$free_now_kib" in
    "" | *[!0-9]*) free_now_kib=0 ;;
  esac
  if [ $((free_now_kib * 1024)) -lt "$reserve" ]; then
    fail "package $package does not fit into the free space of $apps: the volume filled up while it was unpacked"
  fi
fi
if [ "$listed" -ne 0 ] || grep -q gzip "$failed" 2>/dev/null; then
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
# Only files, folders and links: no device, FIFO or socket lands in the
# Applications folder, whatever rights unpacked it.
special=$(find "$root" ! -type f ! -type d ! -type l -print -quit) ||
  fail "cannot inspect the extracted package"
[ -z "$special" ] ||
  fail "package $package holds a member that is not a file, folder or link: ${special#"$root"/}"

# Every link must resolve inside the product folder, checked in one pass
# without resolving anything: a target is relative, made of ".." steps
# first and names after them, and climbs no higher than the product folder.
# Names after the climb may be links themselves, each held to the same rule,
# so no chain of links leads out either. Names holding a line feed would
# split the listing and are refused first.
nl='
'
odd=$(find "$root" \( -name "*$nl*" -o -lname "*$nl*" \) -print -quit) ||
  fail "cannot inspect the extracted package"
[ -z "$odd" ] || fail "package $package holds a name with a line feed"
outside=$(find "$root" -type l -printf '%P\n%l\n' | awk '
  NR % 2 == 1 { link = $0; next }
  {
    depth = gsub("/", "/", link) - 1
    bad = depth < 0 || substr($0, 1, 1) == "/"
    n = split($0, steps, "/")
    climbing = 1
    for (i = 1; i <= n && !bad; i++) {
      if (steps[i] == "" || steps[i] == ".") continue
      if (steps[i] == "..") {
        bad = !climbing || --depth < 0
      } else {
        climbing = 0
      }
    }
    if (bad) { print link; exit }
  }') || fail "cannot inspect the extracted package"
[ -z "$outside" ] || fail "package $package holds a link that points outside: $outside"

[ "$unpack_failed" -eq 0 ] || fail "package $package cannot be extracted"

product="$root/$top"
[ -d "$product" ] && [ ! -L "$product" ] || fail "package $package does not hold a $top folder"
program="$product/Contents/MacOS/$name"
[ -f "$program" ] && [ -x "$program" ] || fail "package $package has no program Contents/MacOS/$name"

# Set-id bits never survive, whatever the archive asked for; the product
# belongs to the Applications folder's owner.
find "$product" ! -type l \( -perm -4000 -o -perm -2000 \) -exec chmod ug-s {} + ||
  fail "cannot clear set-id bits in $top"
if [ "$(id -u)" -eq 0 ]; then
  chown -R -h "$owner" "$product" || fail "cannot give $top to its owner $owner"
fi

target="$apps/$top"
echo "$target" >"$staging/target" || fail "cannot write to the staging folder $staging"
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
