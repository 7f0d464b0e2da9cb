# Sourced by test.sh and run.sh: installs the Debian packages the build, the
# tests and the demo need, but only those that are missing (non-interactive).
QV_DEPS=(g++ gcc make cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
         libasio-dev libboost-dev libsqlite3-dev sqlite3 libpq-dev postgresql python3 nodejs
         dpkg-dev file)  # the Debian package: dpkg-shlibdeps, and file for CPack

# Installs those of the named Debian packages that are missing; $1 says what for.
qv_apt_install_missing() {
  local what=$1 missing=() p
  shift
  for p in "$@"; do
    if [[ $p == npm ]]; then
      command -v npm >/dev/null || missing+=(npm)
    else
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    fi
  done
  ((${#missing[@]})) || return 0
  echo "installing missing packages$what: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "need root to install: ${missing[*]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

qv_install_missing_deps() { qv_apt_install_missing "" "${QV_DEPS[@]}"; }

# The browser test's extras (tests/web): the system's Chromium, and npm for
# playwright-core. Not in QV_DEPS: only CI and those who run that test need
# them. npm is asked for only when no npm is on the PATH, since some nodejs
# builds bring their own and conflict with the Debian package.
QV_BROWSER_DEPS=(chromium npm)

qv_install_browser_deps() { qv_apt_install_missing " for the browser test" "${QV_BROWSER_DEPS[@]}"; }

# The Windows cross build and its tests under Wine (cmake --preset windows):
# MinGW-w64 with the POSIX thread model, its windres, Wine, and GoogleTest's
# sources (built there with the cross compiler), and Tcl with which SQLite's
# Debian sources make the one-file SQLite the Windows database library is
# built from (qv_install_windows_sqlite).
# The tests run as a Chinese Windows (code page 936): Wine takes it from the
# locale zh_CN.UTF-8, which is generated here when missing.
QV_WINDOWS_DEPS=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest locales tcl)

qv_install_windows_deps() {
  qv_apt_install_missing " for the Windows build" "${QV_WINDOWS_DEPS[@]}" || return 1
  if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
    echo "generating the locale zh_CN.UTF-8 for the Windows tests"
    sed -i 's/^# *zh_CN.UTF-8 UTF-8/zh_CN.UTF-8 UTF-8/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  fi
  qv_install_windows_sqlite
}

# Debian has no SQLite for MinGW, so the Windows build compiles SQLite itself
# from the one-file form (sqlite3.c, sqlite3.h) that SQLite's own build makes
# from Debian's source package, Debian's patches applied. It is made once, in
# QV_WINDOWS_SQLITE_DIR (the default is where cmake/QvWindows.cmake looks).
QV_WINDOWS_SQLITE_DIR=${QV_WINDOWS_SQLITE_DIR:-/usr/local/share/quorvels-windows/sqlite}

qv_install_windows_sqlite() {
  [[ -f $QV_WINDOWS_SQLITE_DIR/sqlite3.c && -f $QV_WINDOWS_SQLITE_DIR/sqlite3.h ]] && return 0
  echo "making SQLite's one-file source for the Windows build in $QV_WINDOWS_SQLITE_DIR"
  if [[ $(id -u) -ne 0 ]]; then
    echo "need root to fetch SQLite's Debian sources and write $QV_WINDOWS_SQLITE_DIR" >&2
    return 1
  fi
  local work list=/etc/apt/sources.list.d/quorvels-sqlite-src.sources
  work=$(mktemp -d) || return 1
  # The source package's archive, in a source list and a package-list
  # directory of their own that only this update and this download read: the
  # system's lists stay as they were.
  cat >"$list" <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  mkdir -p "$work/lists/partial"
  local apt_src=(-o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$work/lists"
                 -o APT::Sandbox::User=root)
  if ! (cd "$work" && apt-get "${apt_src[@]}" update -qq && apt-get "${apt_src[@]}" source -qq sqlite3 >/dev/null &&
        mkdir build && cd build && ../sqlite3-*/configure --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null); then
    echo "could not make SQLite's one-file source (log above); the work is in $work" >&2
    rm -f "$list"
    return 1
  fi
  rm -f "$list"
  mkdir -p "$QV_WINDOWS_SQLITE_DIR"
  cp "$work"/build/sqlite3.c "$work"/build/sqlite3.h "$QV_WINDOWS_SQLITE_DIR"/
  sed -n 's/^#define SQLITE_VERSION  *"\(.*\)"/\1/p' "$QV_WINDOWS_SQLITE_DIR"/sqlite3.h >"$QV_WINDOWS_SQLITE_DIR"/VERSION
  rm -rf "$work"
}
