# Sourced by test.sh and run.sh: installs the Debian packages the build, the
# tests and the demo need, but only those that are missing (non-interactive).
QV_DEPS=(g++ gcc make cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
         libasio-dev libboost-dev libsqlite3-dev sqlite3 libpq-dev postgresql python3 nodejs
         dpkg-dev file)  # the Debian package: dpkg-shlibdeps, and file for CPack

qv_install_missing_deps() {
  local missing=() p
  for p in "${QV_DEPS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "installing missing packages: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "need root to install: ${missing[*]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The browser test's extras (tests/web): the system's Chromium, and npm for
# playwright-core. Not in QV_DEPS: only CI and those who run that test need
# them. npm is asked for only when no npm is on the PATH, since some nodejs
# builds bring their own and conflict with the Debian package.
QV_BROWSER_DEPS=(chromium)

qv_install_browser_deps() {
  local missing=() p
  for p in "${QV_BROWSER_DEPS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  command -v npm >/dev/null || missing+=(npm)
  ((${#missing[@]})) || return 0
  echo "installing missing packages for the browser test: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "need root to install: ${missing[*]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
