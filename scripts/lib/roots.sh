# Debian roots made with debootstrap, for the checks and builds that need a
# machine of another release, or a bare one. Sourced by scripts/wheel,
# scripts/check-wheel and scripts/check-clean-setup; every function works on
# the root named by $R and logs through say().
#
#   root_debootstrap SUITE [PACKAGE...]   a minbase root of SUITE in $R
#   root_sources SUITE                    its apt sources: SUITE, -updates, -security
#   root_mount                            /proc, /sys, /dev, resolv.conf, PyPI's CA
#   in_root COMMAND...                    a command in $R with a plain root's environment
#   root_release                          mounts off, processes ended (safe to call twice)
#
# MIRROR and SECURITY_MIRROR name the Debian archives (deb.debian.org's by
# default). Nothing here changes the host: mounts are private, and the host's
# CA bundle is bound read-only only when PyPI cannot be reached without it.

MIRROR=${MIRROR:-http://deb.debian.org/debian}
SECURITY_MIRROR=${SECURITY_MIRROR:-http://deb.debian.org/debian-security}
ROOT_ENV=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
          LANG=C.UTF-8 TERM=dumb)
MOUNT_NOTE=""

in_root() { chroot "$R" /usr/bin/env -i "${ROOT_ENV[@]}" "$@"; }

root_need_debootstrap() {
  command -v debootstrap >/dev/null && return 0
  say "installing debootstrap (the host release's own package)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap \
    >/dev/null
}

root_debootstrap() {  # SUITE [PACKAGE...]
  local suite=$1 include
  shift
  include=$(IFS=,; echo "$*")
  debootstrap --variant=minbase ${include:+--include="$include"} "$suite" "$R" "$MIRROR"
}

root_sources() {  # SUITE
  rm -f "$R"/etc/apt/sources.list.d/*
  cat >"$R/etc/apt/sources.list" <<SOURCES
deb $MIRROR $1 main
deb $MIRROR $1-updates main
deb $SECURITY_MIRROR $1-security main
SOURCES
}

root_mounts() {  # mount points under $R, deepest first
  awk -v p="$R/" 'index($2, p) == 1 { print $2 }' /proc/self/mounts | sort -r
}

mount_private() {  # mount ARGS... TARGET; never propagates back to the host
  mount "$@" && mount --make-private "${!#}"
}

# HTTPS to PyPI passes this machine's TLS-inspecting egress only with the
# host's extra CA; Debian's stock ca-certificates in a root lack it. When the
# stock set cannot reach PyPI, the host's bundle is bound read-only into the
# root and named to pip by environment, as the host itself does; no file of
# the root changes.
pypi_reachable_with() {
  python3 - "$1" <<'PROBE'
import ssl, sys, urllib.request
ctx = ssl.create_default_context(cafile=sys.argv[1])
try:
    urllib.request.urlopen("https://pypi.org/simple/pip/", timeout=30, context=ctx)
except Exception as e:
    print(e, file=sys.stderr)
    sys.exit(1)
PROBE
}

root_mount() {
  cp /etc/resolv.conf "$R/etc/resolv.conf" || return 1
  mount_private -t proc proc "$R/proc" &&
    mount_private -t sysfs sysfs "$R/sys" &&
    mount_private --bind /dev "$R/dev" &&
    mount_private --bind /dev/pts "$R/dev/pts" &&
    mount_private -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$R/dev/shm" || return 1
  if ! command -v python3 >/dev/null; then
    MOUNT_NOTE="host has no python3 to probe PyPI: host CA bundle bound in"
  else
    local stock
    stock=$(mktemp)
    cat /usr/share/ca-certificates/mozilla/*.crt >"$stock" 2>/dev/null
    if pypi_reachable_with "$stock" 2>/dev/null; then
      rm -f "$stock"
      MOUNT_NOTE="PyPI reached from the root with Debian's own CA certificates"
      return 0
    fi
    rm -f "$stock"
    pypi_reachable_with /etc/ssl/certs/ca-certificates.crt ||
      { say "PyPI is unreachable even with the host's CA bundle"; return 1; }
    MOUNT_NOTE="PyPI reached from the root itself, through this machine's TLS-inspecting egress: the host's CA bundle (/etc/ssl/certs) bound read-only at /run/host-ca, named by PIP_CERT/SSL_CERT_FILE/REQUESTS_CA_BUNDLE; no host pip configuration or wheel directory used"
  fi
  mkdir -p "$R/run/host-ca" &&
    mount_private --bind /etc/ssl/certs "$R/run/host-ca" &&
    mount -o remount,bind,ro "$R/run/host-ca" || return 1
  ROOT_ENV+=(PIP_CERT=/run/host-ca/ca-certificates.crt
             SSL_CERT_FILE=/run/host-ca/ca-certificates.crt
             REQUESTS_CA_BUNDLE=/run/host-ca/ca-certificates.crt)
}

root_kill() {  # SIGNAL: signals every process whose root is $R; 0 if there were any
  local sig=$1 p found=1
  for p in /proc/[0-9]*; do
    if [ "$(readlink "$p/root" 2>/dev/null)" = "$R" ]; then
      kill "-$sig" "${p#/proc/}" 2>/dev/null && found=0
    fi
  done
  return $found
}

root_release() {  # 0 when nothing is left mounted under $R
  local m
  [ -n "${R:-}" ] && [ -d "$R" ] || return 0
  if root_kill TERM; then sleep 2; root_kill KILL; sleep 1; fi
  for m in $(root_mounts); do
    umount "$m" 2>/dev/null || umount -l "$m" || say "WARNING: could not unmount $m"
  done
  [ -z "$(root_mounts)" ]
}
