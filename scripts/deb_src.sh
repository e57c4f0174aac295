# Sourced by scripts that unpack a Debian package's source.

# The version of a package for the build machine's own architecture, installed or
# candidate: with other architectures installed (arm64, s390x), a bare name would list
# each of their versions.
host_version() {  # PACKAGE
  local host
  host=$(dpkg --print-architecture)
  dpkg-query -W -f='${Version}' "$1:$host" 2>/dev/null ||
    apt-cache policy "$1:$host" | awk '/Candidate/ {print $2}'
}

# apt-get source needs a deb-src entry: the machine's own deb entries serve as source.
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
