# deps.sh - sourced by the project's scripts: installs missing Debian
# packages (as root, with apt-get) and fails loudly when it cannot.

# need_packages PACKAGE... : installs those of the packages that are missing.
need_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing packages (${missing[*]}); run as root or install them" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# need_wine32 : the 32-bit Wine (wine32 of the i386 architecture), able to
# start 32-bit programs. Where the kernel runs no 32-bit programs itself
# (IA-32 emulation switched off, as on some virtual machines), qemu's
# user-mode emulator runs them, registered for 32-bit x86 programs with
# binfmt_misc. Fails loudly when a step does.
need_wine32() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "== adding the i386 architecture"
    need_root "the i386 architecture" || return 1
    dpkg --add-architecture i386 || return 1
  fi
  need_packages wine32:i386 || return 1
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "== the kernel runs no 32-bit programs: running them with qemu-i386"
    need_i386_emulation || return 1
  fi
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "error: /usr/lib/wine/wine (32-bit Wine) does not start" >&2
    return 1
  fi
}

# need_root WHAT : fails with a message unless running as root.
need_root() {
  [ "$(id -u)" -eq 0 ] && return 0
  echo "error: $1 needs root; run as root or set it up" >&2
  return 1
}

# need_i386_emulation : qemu-i386 from qemu-user 8 or later, registered as
# the interpreter of 32-bit x86 programs. (With Debian 12's qemu 7.2 each
# start of 32-bit Wine takes over a minute; there it comes from the release's
# backports, on the mirror the system already uses.)
need_i386_emulation() {
  local version codename mirror release=
  local entry=/proc/sys/fs/binfmt_misc/qemu-i386
  version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  if [ -z "$version" ] || dpkg --compare-versions "$version" lt 1:8; then
    need_root "qemu-user" || return 1
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ "$codename" = bookworm ]; then
      release=bookworm-backports
      if ! apt-get indextargets --format '$(CODENAME)' | grep -qx "$release"; then
        mirror=$(apt-get indextargets --format '$(REPO_URI)' \
                   "Codename: $codename" 'Label: Debian' | head -n 1)
        if [ -z "$mirror" ]; then
          echo "error: no Debian $codename mirror configured for $release" >&2
          return 1
        fi
        echo "deb $mirror $release main" >/etc/apt/sources.list.d/$release.list
      fi
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || return 1
    apt-get install -y -qq --no-install-recommends ${release:+-t "$release"} \
      qemu-user >/dev/null || return 1
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    need_root "binfmt_misc" || return 1
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  fi
  # An entry with another interpreter (an older qemu) gives way.
  if [ -e "$entry" ] && ! grep -qx 'interpreter /usr/bin/qemu-i386' "$entry"; then
    echo -1 >"$entry" || return 1
  fi
  if [ ! -e "$entry" ]; then
    # ELF, 32-bit, little-endian, executable or shared object, i386; flag F:
    # the interpreter is opened now, so it serves in any mount namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
      >/proc/sys/fs/binfmt_misc/register || return 1
  fi
}

# need_source PACKAGE DIR : the source of Debian's PACKAGE (for the
# release the system runs), unpacked in DIR/PACKAGE-VERSION; prints that
# folder. Cross builds (Windows, WebAssembly) compile libraries from it.
# Adds a deb-src entry for the system's own Debian mirrors when there is
# none. Fetches nothing but Debian's source package.
need_source() {
  local package=$1 dir=$2 found
  found=$(ls -d "$dir/$package"-[0-9]*/ 2>/dev/null | head -n 1)
  if [ -n "$found" ] && [ -f "$found/.setuphdr-unpacked" ]; then
    printf '%s\n' "${found%/}"
    return 0
  fi
  need_packages dpkg-dev >&2 || return 1
  if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null |
       grep -qx Sources; then
    need_root "a deb-src entry" >&2 || return 1
    # The same mirrors (and keys) as the system's Debian entries, for
    # sources: one-line entries copied as deb-src, deb822 stanzas with
    # their Types set to deb-src.
    local list=/etc/apt/sources.list.d/setuphdr-deb-src
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$file" ] && case $file in "$list".list) continue ;; esac &&
        sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$file"
    done >"$list.list"
    for file in /etc/apt/sources.list.d/*.sources; do
      [ -f "$file" ] && [ "$file" != "$list.sources" ] &&
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /URIs:[^\n]*debian/ && /Types:[^\n]*deb/ {
               sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$file"
    done >"$list.sources"
    [ -s "$list.list" ] || rm -f "$list.list"
    [ -s "$list.sources" ] || rm -f "$list.sources"
    if [ ! -e "$list.list" ] && [ ! -e "$list.sources" ]; then
      echo "error: no Debian mirror to take source packages from" >&2
      return 1
    fi
    echo "== added deb-src entries ($list.*)" >&2
    apt-get update -qq >&2 || return 1
  fi
  mkdir -p "$dir" || return 1
  echo "== fetching Debian's source package $package" >&2
  # The newest version first; a mirror may lack it (the security archive
  # is not reachable everywhere), then the next one the indexes name.
  local version fetched=
  for version in "" $(apt-cache showsrc "$package" 2>/dev/null |
                       sed -n 's/^Version: //p' | sort -u |
                       sort -r -V); do
    rm -rf "$dir/$package"-[0-9]*/ 2>/dev/null
    if (cd "$dir" && apt-get source -qq "$package${version:+=$version}" \
          >/dev/null 2>&1); then
      fetched=yes
      break
    fi
  done
  if [ -z "$fetched" ]; then
    echo "error: apt-get source $package failed" >&2
    return 1
  fi
  found=$(ls -d "$dir/$package"-[0-9]*/ 2>/dev/null | head -n 1)
  [ -n "$found" ] || { echo "error: no $package source in $dir" >&2; return 1; }
  touch "$found/.setuphdr-unpacked"
  printf '%s\n' "${found%/}"
}
