#!/usr/bin/env bash
# Lets Wine run 32-bit Windows programs on a machine whose kernel runs no 32-bit code at all
# (IA-32 emulation switched off: every i386 program, Wine's own loader included, fails with
# "Exec format error"). There the 32-bit half of Wine runs under QEMU's user-mode emulator,
# registered for i386 programs with binfmt_misc, and the 64-bit Wine (wine64) runs the wineserver
# and Wine's system services natively.
#
# Does nothing where 32-bit Wine starts already. Needs root (apt-get, binfmt_misc); run it after
# the wine and wine32:i386 packages are installed (scripts/install-deps.sh --windows does both).
#
# QEMU must be 8.0 or newer: 7.2 treats MAP_FIXED_NOREPLACE as a mere hint, and Wine's loader then
# fails with "failed to map the shared user data". Debian 12 (bookworm) has 7.2, so its backports
# are used there.
set -euo pipefail

loader=/usr/lib/wine/wine
if "$loader" --version >/dev/null 2>&1; then
  exit 0
fi
if [[ ! -e $loader ]]; then
  echo "enable-wine32: $loader is missing; install wine32:i386 first" >&2
  exit 1
fi

apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

qemu_major() {
  local version
  version=$(qemu-i386 --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
  echo "${version:-0}"
}

dpkg -s wine64 >/dev/null 2>&1 || apt_install wine64
if (($(qemu_major) < 8)); then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [[ $codename == bookworm ]]; then
    # Backports come from the same archive this machine's apt already uses.
    archive=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
                  /etc/apt/sources.list.d/*.sources 2>/dev/null |
              grep -E '^(deb|URIs:)[[:space:]]' | grep -oE 'https?://[^[:space:]]+' |
              grep -v -- '-security' | head -n1 || true)
    if [[ -z $archive ]]; then
      echo "enable-wine32: no Debian archive found in the apt sources" >&2
      exit 1
    fi
    list=/etc/apt/sources.list.d/mplnet-bookworm-backports.list
    echo "deb $archive bookworm-backports main" >"$list"
    apt-get update -qq
    apt_install -t bookworm-backports qemu-user
    rm -f "$list"
  else
    apt-get update -qq
    apt_install qemu-user
  fi
fi
if (($(qemu_major) < 8)); then
  echo "enable-wine32: qemu-i386 $(qemu_major).x is too old; 8.0 or newer is needed" >&2
  exit 1
fi

# Register QEMU for 32-bit x86 ELF programs (executables and position-independent ones). The F
# flag opens the interpreter now, so the registration keeps working inside any mount namespace; a
# stale registration of an older binary is replaced.
binfmt=/proc/sys/fs/binfmt_misc
mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
[[ -e $binfmt/qemu-i386 ]] && echo -1 >"$binfmt/qemu-i386"
echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
  >"$binfmt/register"

if ! "$loader" --version >/dev/null 2>&1; then
  echo "enable-wine32: 32-bit Wine still does not start" >&2
  exit 1
fi
echo "enable-wine32: 32-bit Wine runs under qemu-i386 $(qemu_major).x"
