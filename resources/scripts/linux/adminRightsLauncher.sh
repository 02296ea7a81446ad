#!/bin/sh
# adminRightsLauncher.sh <install.sh> <package or product folder> <folder> [key value]...
#
# Runs install.sh with administrator rights: directly when we already are
# root, through pkexec otherwise. Launching an installed product (a folder)
# needs no rights and keeps the user's own identity.
set -u

if [ $# -lt 3 ]; then
  echo "adminRightsLauncher: expected install.sh, a package and its folder"
  exit 2
fi

script=$1
shift

if [ -d "$1" ] || [ "$(id -u)" -eq 0 ]; then
  exec /bin/sh "$script" "$@"
fi

if ! command -v pkexec >/dev/null 2>&1; then
  echo "adminRightsLauncher: administrator rights are needed and pkexec is not available"
  exit 3
fi
# pkexec clears the environment: hand over where the user's applications go.
exec pkexec /usr/bin/env ZENTAK_APPLICATIONS_DIR="${ZENTAK_APPLICATIONS_DIR:-$HOME/Applications}" \
  /bin/sh "$script" "$@"
