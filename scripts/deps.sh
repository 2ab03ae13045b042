#!/usr/bin/env bash
# Installs what building and testing Ostrel needs on Debian, when it is missing.
set -euo pipefail

packages=(cmake g++ make libgtest-dev python3 clang libclang-rt-14-dev curl libcrypt-dev libpam0g-dev
          dnsmasq-base unbound chromium chromium-driver python3-selenium python3-aiosmtpd
          fetchmail libssl-dev openssl)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null; then
  SUDO="sudo"
else
  echo "Missing packages (${missing[*]}); run this script as root." >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq -o DPkg::Lock::Timeout=600
$SUDO apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}"
