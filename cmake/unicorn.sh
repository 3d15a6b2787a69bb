#!/bin/sh
# Makes Unicorn 2.1 or newer available to the build.
#
#   cmake/unicorn.sh PREFIX
#
# Unicorn before 2.1 sends every guest store through a slow path (a boot costs several times
# what it costs on 2.1), so the build needs 2.1. Where the system's package is 2.1 or newer
# (Debian 13 and later) it serves and PREFIX is left empty. Elsewhere (Debian 12) this fetches
# the next Debian release's packages of the library and its headers with apt-get download,
# through an apt configuration of its own under PREFIX (the mirror is the one the machine's
# own apt sources name), and unpacks them into PREFIX/usr. The system's apt sources and
# installed packages stay untouched. CMake looks in PREFIX/usr first and links with an RPATH.
set -eu

prefix=${1:?usage: cmake/unicorn.sh PREFIX}
suite=trixie                                  # the first release that ships 2.1
packages="libunicorn2t64 libunicorn-dev"
stamp=$prefix/usr/.complete

if pkg-config --atleast-version=2.1 unicorn 2>/dev/null; then
  exit 0                                      # the system's package serves
fi
[ -f "$stamp" ] && exit 0

# The Debian mirror the machine already uses: the first `deb` entry of its apt sources, in the
# one-line form (sources.list, *.list) or deb822 (*.sources, `URIs:`), that is not a security
# or third-party archive (those name other suites).
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
mirror=$(
  {
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\).*/\2 \3/p' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      # One stanza per blank-line-separated block: print "URI SUITE" pairs of `deb` stanzas.
      awk 'BEGIN { RS = ""; FS = "\n" }
           { types = ""; uris = ""; suites = ""; enabled = "yes"
             for (i = 1; i <= NF; i++) {
               line = $i; sub(/#.*/, "", line)
               if (line ~ /^Types:/)   { sub(/^Types:[ \t]*/, "", line); types = line }
               if (line ~ /^URIs:/)    { sub(/^URIs:[ \t]*/, "", line); uris = line }
               if (line ~ /^Suites:/)  { sub(/^Suites:[ \t]*/, "", line); suites = line }
               if (line ~ /^Enabled:/) { sub(/^Enabled:[ \t]*/, "", line); enabled = line }
             }
             if (types !~ /(^| )deb( |$)/ || enabled == "no") next
             n = split(uris, u, /[ \t]+/); m = split(suites, s, /[ \t]+/)
             for (a = 1; a <= n; a++) for (b = 1; b <= m; b++) if (u[a] != "") print u[a], s[b]
           }' "$f"
    done
  } | awk -v codename="$codename" '$2 == codename && !found { print $1; found = 1 }'
)
if [ -z "$mirror" ]; then
  echo "unicorn.sh: no Debian mirror for '$codename' in /etc/apt/sources.list{,.d}: install" \
       "Unicorn 2.1 or newer (libunicorn-dev) by hand" >&2
  exit 1
fi

arch=$(dpkg --print-architecture)
apt=$prefix/apt
rm -rf "$prefix"
mkdir -p "$apt/sources.list.d" "$apt/preferences.d" "$apt/state/lists/partial" \
         "$apt/cache/archives/partial" "$apt/debs" "$prefix/usr"
: > "$apt/state/status"
echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  > "$apt/sources.list"
run_apt() {
  apt-get -q \
    -o Dir::Etc::sourcelist="$apt/sources.list" -o Dir::Etc::sourceparts="$apt/sources.list.d" \
    -o Dir::Etc::preferences="$apt/preferences" -o Dir::Etc::preferencesparts="$apt/preferences.d" \
    -o Dir::State="$apt/state" -o Dir::State::status="$apt/state/status" \
    -o Dir::Cache="$apt/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)" \
    -o APT::Architectures="$arch" -o Acquire::Languages=none "$@"
}
echo "unicorn.sh: fetching $packages from $mirror $suite into $prefix"
run_apt update
(cd "$apt/debs" && run_apt download $packages)
for deb in "$apt/debs"/*.deb; do dpkg-deb -x "$deb" "$prefix"; done

# The package's pkg-config file names /usr; point it at the unpacked tree. Nothing links the
# static library.
for pc in "$prefix"/usr/lib/*/pkgconfig/unicorn.pc; do
  if [ -f "$pc" ]; then
    sed -i "s#^\(prefix\|exec_prefix\|libdir\|includedir\)=/usr#\1=$prefix/usr#" "$pc"
  fi
done
rm -f "$prefix"/usr/lib/*/libunicorn.a
rm -rf "$apt/state/lists" "$apt/cache"        # the indexes are large and no longer needed
touch "$stamp"
