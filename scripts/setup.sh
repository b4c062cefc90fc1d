#!/usr/bin/env bash
# Installs the Debian packages a make target needs, and only those missing:
# when everything is there nothing is fetched. A package of another
# architecture (libzstd-dev:arm64) first enables that architecture.
set -euo pipefail
need=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0
echo "setup: installing ${need[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
for pkg in "${need[@]}"; do
  case "$pkg" in
    *:*)
      arch=${pkg##*:}
      if [ "$arch" != "$(dpkg --print-architecture)" ] &&
         ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $SUDO dpkg --add-architecture "$arch"
      fi
      ;;
  esac
done
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
