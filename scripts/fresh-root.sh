# A fresh minimal Debian 12 root to run things in, shared by
# scripts/check-package and scripts/fresh-machine-test. Source it from the
# repository root after scripts/common.sh.
#
# The root (debootstrap --variant=minbase from the archive this machine's apt
# sources name) is made once per machine and kept as a tarball in
# ~/.cache/quillon-debootstrap, beside the packages apt downloads into roots;
# it is made again when older than 30 days. Needs root (sudo).

root_suite=bookworm
root_cache_dir=${QUILLON_DEBOOTSTRAP_CACHE:-$HOME/.cache/quillon-debootstrap}
root_tarball=$root_cache_dir/$root_suite-minbase.tar
root_archives=$root_cache_dir/apt-archives
root_sudo=()
[ "$(id -u)" -eq 0 ] || root_sudo=(sudo)
root=
root_mounts=()

make_root_tarball() {
  local build mirror security
  mirror=$(debian_archive "$root_suite")
  security=$(debian_archive "$root_suite-security")
  build=$(mktemp -d)
  "${root_sudo[@]}" debootstrap --variant=minbase "$root_suite" "$build" "$mirror"
  cat <<SOURCES | "${root_sudo[@]}" tee "$build/etc/apt/sources.list" >/dev/null
deb $mirror $root_suite main
deb $mirror $root_suite-updates main
deb $security $root_suite-security main
SOURCES
  mkdir -p "$root_cache_dir"
  "${root_sudo[@]}" tar -C "$build" -cf "$root_tarball.new" .
  "${root_sudo[@]}" mv "$root_tarball.new" "$root_tarball"
  "${root_sudo[@]}" rm -rf "$build"
}

# root_mount OPTIONS... TARGET: a mount inside the root, undone by remove_root.
root_mount() {
  local target=${*: -1}
  if "${root_sudo[@]}" mount "$@"; then
    root_mounts+=("$target")
  else
    echo "fresh root: could not mount $target" >&2
    return 1
  fi
}

# remove_root: unmounts what was mounted in the root (the last first) and
# removes it; safe to call however the caller ends, and more than once.
remove_root() {
  [ -n "$root" ] || return 0
  local i
  for ((i = ${#root_mounts[@]} - 1; i >= 0; i--)); do
    if mountpoint -q "${root_mounts[$i]}"; then
      "${root_sudo[@]}" umount "${root_mounts[$i]}" || "${root_sudo[@]}" umount -l "${root_mounts[$i]}"
    fi
  done
  root_mounts=()
  # --one-file-system: never reaches through a mount that could not be undone.
  "${root_sudo[@]}" rm -rf --one-file-system "$root"
  root=
}

# cache_root_tarball: makes the cached root when it is missing or too old.
cache_root_tarball() {
  if [ ! -f "$root_tarball" ] || [ -n "$(find "$root_tarball" -mtime +30)" ]; then
    echo "Making the minimal Debian 12 root (cached in $root_tarball)"
    make_root_tarball
  fi
}

# make_root: a fresh root in $root from the cached tarball, with /proc and the
# shared package cache mounted. Where mounts are not allowed (some containers)
# it goes without them, and apt downloads again. The caller sets a trap that
# calls remove_root.
make_root() {
  cache_root_tarball
  root=$(mktemp -d)
  mkdir -p "$root_archives/partial"
  "${root_sudo[@]}" tar -C "$root" -xf "$root_tarball"
  # mktemp makes the folder for its owner only; users in the root need "/".
  "${root_sudo[@]}" chmod 0755 "$root"
  "${root_sudo[@]}" cp /etc/resolv.conf "$root/etc/resolv.conf"
  root_mount -t proc proc "$root/proc" || true
  root_mount --bind "$root_archives" "$root/var/cache/apt/archives" || echo "fresh root: no package cache"
}

# in_root COMMAND...: runs a command in the root as its root user, with a
# clean environment.
in_root() { "${root_sudo[@]}" chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
