#!/bin/sh
# install.sh <package> <folder> [key value]...
#
# Given a package file, installs it: a flat installer package (.pkg) through
# the system installer onto the boot volume, or a disk image (.dmg) holding
# one <Name>.app (or a .pkg) by mounting it, copying the application into the
# Applications folder ($ZENTAK_APPLICATIONS_DIR, /Applications when unset),
# replacing an older copy by rename, and detaching it again.
# Given a folder, starts the product <bundle_name>.app in it, detached.
# Exits 0 only on success; every failure prints one line.
set -u
# The installer reading our output may be gone (killed): a write must then
# fail, not kill the script before it has tidied up.
trap '' PIPE

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
  app="$package/$bundle_name.app"
  [ -d "$app" ] || fail "cannot start $app"
  /usr/bin/open -n "$app" >/dev/null 2>&1 </dev/null || fail "cannot start $app"
  exit 0
fi

[ -f "$package" ] || fail "package $package not found"

install_pkg() {
  /usr/sbin/installer -pkg "$1" -target / >/dev/null 2>&1 || fail "installer refused $1"
}

# Downloads carry the .dmg extension whatever they hold: look at the bytes.
kind=$(/usr/bin/file -b "$package")
case "$kind" in
  *xar\ archive*)
    install_pkg "$package"
    exit 0
    ;;
esac

mountpoint=$(/usr/bin/mktemp -d /tmp/zentak-install.XXXXXX) || fail "cannot create a mount point"
staging=""
target=""
cleanup() {
  # A second signal must not cut the tidying short.
  trap '' INT TERM HUP
  if [ -n "$staging" ]; then
    # Interrupted between the two renames: the old copy goes back.
    if [ -n "$target" ] && [ ! -e "$target" ] && [ -e "$staging/previous" ]; then
      mv "$staging/previous" "$target" 2>/dev/null
    fi
    rm -rf "$staging"
  fi
  /usr/bin/hdiutil detach "$mountpoint" -quiet -force >/dev/null 2>&1
  rmdir "$mountpoint" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

/usr/bin/hdiutil attach "$package" -nobrowse -readonly -noautoopen -mountpoint "$mountpoint" \
  >/dev/null 2>&1 || fail "package $package is neither an installer package nor a disk image"

for pkg in "$mountpoint"/*.pkg; do
  if [ -e "$pkg" ]; then
    install_pkg "$pkg"
    exit 0
  fi
done

apps=$(find "$mountpoint" -maxdepth 1 -name '*.app' -type d)
count=$(printf '%s\n' "$apps" | grep -c .)
[ "$count" -eq 1 ] || fail "disk image $package does not hold exactly one application"
name=$(basename "$apps")
valid_name "${name%.app}" || fail "disk image $package names an invalid application: $name"

install_dir=${ZENTAK_APPLICATIONS_DIR:-/Applications}
[ -d "$install_dir" ] || fail "no Applications folder $install_dir"

# The copy must leave the volume's free space, less a little for the file
# system's own records.
need_kib=$(/usr/bin/du -sk "$apps" | awk '{ print $1 }')
free_kib=$(/bin/df -Pk "$install_dir" | awk 'NR == 2 { print $4 }')
case "$need_kib:$free_kib" in
  :* | *: | *[!0-9:]*) fail "cannot compare the size of $name with the free space of $install_dir" ;;
esac
[ "$need_kib" -le $((free_kib - 8192)) ] ||
  fail "disk image $package does not fit into the free space of $install_dir: $name takes $need_kib KiB"

# A staging folder whose install was killed outright (no trap ran) is
# tidied by the next install: its old copy goes back if it had already
# stepped aside, and the partial copy is removed. Its owner is named by pid
# and start time, so a reused pid or a zombie does not keep it alive. One
# without an owner yet is being made by another install unless it is older
# than a minute.
owner_alive() {
  if [ ! -f "$1/owner" ] || [ -L "$1/owner" ]; then
    made=$(/usr/bin/stat -f %m "$1" 2>/dev/null) || return 1
    [ $(($(/bin/date +%s) - made)) -lt 60 ]
    return
  fi
  set -- $(cat "$1/owner" 2>/dev/null)
  [ $# -ge 2 ] || return 1
  pid=$1
  shift
  state=$(echo $(/bin/ps -o stat= -p "$pid" 2>/dev/null))
  case "$state" in
    "" | Z*) return 1 ;;
  esac
  # Unquoted, so that the runs of spaces ps pads with count as one.
  started=$(echo $(/bin/ps -o lstart= -p "$pid" 2>/dev/null))
  [ "$started" = "$*" ]
}
# Whoever may write the Applications folder may have planted what is found
# there, and we run as root: links are never followed, and the place the
# old copy goes back to must be an application's place in this folder.
for leftover in "$install_dir"/.installing.*; do
  if [ -L "$leftover" ]; then
    rm -f "$leftover"
    continue
  fi
  [ -d "$leftover" ] || continue
  owner_alive "$leftover" && continue
  if [ -e "$leftover/previous" ] && [ -f "$leftover/target" ] && [ ! -L "$leftover/target" ]; then
    previous_target=$(cat "$leftover/target")
    case "$previous_target" in
      "$install_dir"/*.app) previous_name=${previous_target#"$install_dir"/} ;;
      *) previous_name="" ;;
    esac
    if valid_name "${previous_name%.app}" && [ ! -e "$previous_target" ] &&
      [ ! -L "$previous_target" ]; then
      mv "$leftover/previous" "$previous_target" 2>/dev/null
    fi
  fi
  rm -rf "$leftover"
done

staging=$(/usr/bin/mktemp -d "$install_dir/.installing.XXXXXX") || fail "cannot write to $install_dir"
echo "$$" $(/bin/ps -o lstart= -p $$) >"$staging/owner" || fail "cannot write to $install_dir"
/usr/bin/ditto "$apps" "$staging/$name" || fail "cannot copy $name"

# Only files, folders and links: no device, FIFO or socket lands in the
# Applications folder, whatever the image holds.
special=$(cd "$staging" && find "$name" ! -type f ! -type d ! -type l -print | head -n 1)
[ -z "$special" ] || fail "disk image $package holds a member that is not a file, folder or link: $special"

# Every link must resolve inside the application folder, checked in one pass
# without resolving anything: a target is relative, made of ".." steps first
# and names after them, and climbs no higher than the application folder.
# Names after the climb may be links themselves, each held to the same rule.
# Link names and targets are listed two lines a link: a line feed in either
# would shift the pairs, so names holding one are refused and the count of
# lines must match the count of links.
nl='
'
odd=$(cd "$staging" && find "$name" -name "*$nl*" -print | head -n 1)
[ -z "$odd" ] || fail "disk image $package holds a name with a line feed"
links=$(cd "$staging" && find "$name" -type l | wc -l | tr -d ' ')
pairs=$(cd "$staging" && find "$name" -type l -exec /usr/bin/stat -f '%N%n%Y' {} +) ||
  fail "cannot inspect $name"
lines=$(printf '%s' "$pairs" | grep -c '')
[ "$lines" -eq $((links * 2)) ] || fail "disk image $package holds a link with a line feed"
outside=$(printf '%s\n' "$pairs" | awk '
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
  }')
[ -z "$outside" ] || fail "disk image $package holds a link that points outside: $outside"

# Set-id bits never survive; the application belongs to the user who ran
# the installer (the owner of the package's folder), not to the
# administrator whose rights copied it.
find "$staging/$name" ! -type l \( -perm -4000 -o -perm -2000 \) -exec chmod ug-s {} + ||
  fail "cannot clear set-id bits in $name"
owner=$(/usr/bin/stat -f %u:%g "$(dirname "$package")") || fail "cannot read the owner of $package"
/usr/sbin/chown -R -h "$owner" "$staging/$name" || fail "cannot give $name to its owner $owner"
target="$install_dir/$name"
echo "$target" >"$staging/target" || fail "cannot write to the staging folder $staging"
if [ -e "$target" ]; then
  mv "$target" "$staging/previous" || fail "cannot move the installed $name aside"
fi
# On failure the clean-up puts the old copy back.
mv "$staging/$name" "$target" || fail "cannot move $name into $install_dir"
echo "install: $name installed into $install_dir"
exit 0
