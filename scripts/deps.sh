#!/usr/bin/env bash
# Installs the Debian packages that a task needs, where they are missing.
#   scripts/deps.sh build   the compiler, linker, musl and the sanitizer runtime
#   scripts/deps.sh test    what the test suite runs besides the build
#   scripts/deps.sh vm      QEMU, Bochs, a kernel and busybox for the virtual-machine tests;
#                           failing to get them only warns: that test then skips
set -euo pipefail

declare -A packages=(
  [build]="cmake make clang lld libclang-rt-14-dev musl-tools musl-dev binutils cpio gzip"
  [test]="python3 libc6-i386 strace util-linux util-linux-extra libgtest-dev ioport pciutils picocom dpkg-dev groff-base clang-format clang-tidy lintian"
  [vm]="qemu-system-x86 bochs bochsbios vgabios isolinux syslinux-common xorriso linux-image-cloud-amd64 busybox-static cpio gzip"
)

missing_packages() {
  local package
  for package in "$@"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] || echo "$package"
  done
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

updated=no
install() {
  local missing
  missing=$(missing_packages "$@")
  [ -n "$missing" ] || return 0
  if [ "$updated" = no ]; then
    as_root apt-get update -qq
    updated=yes
  fi
  # shellcheck disable=SC2086  # one word per package
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

for task in "$@"; do
  [ -n "${packages[$task]:-}" ] || { echo "deps.sh: unknown task '$task' (build, test or vm)" >&2; exit 2; }
  # shellcheck disable=SC2086
  if [ "$task" = vm ]; then
    install ${packages[$task]} || echo "deps.sh: could not install the VM test's packages; that test will skip" >&2
  else
    install ${packages[$task]}
  fi
done
