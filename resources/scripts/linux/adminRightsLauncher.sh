#!/bin/sh
# adminRightsLauncher.sh <install.sh> <package or product folder> <folder> [key value]...
#
# Runs install.sh with the rights it needs: directly when we already are
# root or when the user may write the Applications folder itself (the usual
# $HOME/Applications), through pkexec only otherwise. Launching an installed
# product (a folder) needs no rights and keeps the user's own identity.
set -u

if [ $# -lt 3 ]; then
  echo "adminRightsLauncher: expected install.sh, a package and its folder"
  exit 2
fi

script=$1
shift

apps=${ZENTAK_APPLICATIONS_DIR:-${HOME:-}/Applications}

# Whether this user can install into the Applications folder unaided: it is
# writable, or it does not exist yet and its parent is.
writable_apps() {
  [ -n "${ZENTAK_APPLICATIONS_DIR:-}${HOME:-}" ] || return 1
  if [ -d "$apps" ]; then
    [ -w "$apps" ] && [ -x "$apps" ]
  else
    parent=$(dirname -- "$apps")
    [ -d "$parent" ] && [ -w "$parent" ] && [ -x "$parent" ]
  fi
}

if [ -d "$1" ] || [ "$(id -u)" -eq 0 ] || writable_apps; then
  exec /bin/sh "$script" "$@"
fi

if ! command -v pkexec >/dev/null 2>&1; then
  echo "pkexec not found: cannot ask for administrator rights to install into $apps"
  exit 3
fi
# pkexec clears the environment: hand over where the user's applications go.
exec pkexec /usr/bin/env ZENTAK_APPLICATIONS_DIR="$apps" /bin/sh "$script" "$@"
