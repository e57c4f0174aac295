# Sourced by scripts that unpack a Debian package's source: apt-get source needs a
# deb-src entry, and the machine's own deb entries serve as source.
enable_deb_src() {  # PACKAGE: one whose source must be found
  apt-get source --print-uris "$1" >/dev/null 2>&1 && return 0
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/qxconvert-deb-src.sources
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      > /etc/apt/sources.list.d/qxconvert-deb-src.list
  fi
  apt-get update -qq
}
