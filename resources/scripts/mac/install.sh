#!/bin/sh
# install.sh <package> <folder> [key value]...
#
# Given a package file, installs it: a flat installer package (.pkg) through
# the system installer onto the boot volume, or a disk image (.dmg) holding
# one <Name>.app (or a .pkg) by mounting it, copying the application into
# /Applications (replacing an older copy by rename) and detaching it again.
# Given a folder, starts the product <bundle_name>.app in it, detached.
# Exits 0 only on success; every failure prints one line.
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
detach() {
  /usr/bin/hdiutil detach "$mountpoint" -quiet -force >/dev/null 2>&1
  rmdir "$mountpoint" 2>/dev/null
}
trap detach EXIT
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

staging=$(/usr/bin/mktemp -d "/Applications/.installing.XXXXXX") || fail "cannot write to /Applications"
/usr/bin/ditto "$apps" "$staging/$name" || { rm -rf "$staging"; fail "cannot copy $name"; }
target="/Applications/$name"
if [ -e "$target" ]; then
  mv "$target" "$staging/previous" || { rm -rf "$staging"; fail "cannot move the installed $name aside"; }
fi
if ! mv "$staging/$name" "$target"; then
  [ -e "$staging/previous" ] && mv "$staging/previous" "$target"
  rm -rf "$staging"
  fail "cannot move $name into /Applications"
fi
rm -rf "$staging"
echo "install: $name installed into /Applications"
exit 0
