# What scripts/release, scripts/verify-release and scripts/publish do alike, sourced by
# them: verify-release sources the copy of the commit it rebuilds for the build, so a
# release is rebuilt exactly the way it was built.

# build_release_binaries SOURCE BUILD HOST DEFAULT_SHA256 SOURCE_DATE_EPOCH LOG [TARGET...]
# Configures SOURCE for Windows in BUILD with the release constants and the time stamp
# for the PE headers, and builds KestrovaSetup.exe and kestrova-release.exe (and the
# extra TARGETs). Output goes to LOG; returns non-zero when the build fails.
build_release_binaries() {
  local source=$1 build=$2 host=$3 sha256=$4 epoch=$5 log=$6
  shift 6
  (
    cd "$source" || exit 1
    cmake --preset mingw -B "$build" -DKESTROVA_BUILD_TESTS=OFF \
      -DKESTROVA_DOWNLOAD_HOST="$host" -DKESTROVA_DEFAULT_SHA256="$sha256" \
      -DKESTROVA_SOURCE_DATE_EPOCH="$epoch" &&
      cmake --build "$build" --target KestrovaSetup kestrova-release "$@"
  ) >"$log" 2>&1
}

# toolchain_versions: "key: value" lines naming what shapes the bytes of a build: the
# compiler and linker as they report themselves, and the Debian packages of the
# compiler, its runtime, binutils, the MinGW-w64 CRT and headers, CMake and Ninja.
toolchain_versions() {
  local package
  echo "compiler: $(x86_64-w64-mingw32-g++-posix --version | head -n1)"
  echo "linker: $(x86_64-w64-mingw32-ld --version | head -n1)"
  echo "cmake: $(cmake --version | head -n1)"
  echo "ninja: $(ninja --version | head -n1)"
  for package in g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime \
                 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev mingw-w64-common cmake ninja-build; do
    echo "package-$package: $(dpkg-query -W -f='${Version}' "$package" 2>/dev/null || echo 'not installed')"
  done
}

# run_tool_in_sandbox REPO PREFIX LOG COMMAND...: runs COMMAND (Wine programs among
# it) in REPO's scripts/rehearsal/sandbox with the Wine prefix PREFIX. Its stdout is the
# command's; everything on stderr goes to LOG.
run_tool_in_sandbox() {
  local repo=$1 prefix=$2 log=$3
  shift 3
  KESTROVA_WINEPREFIX=$prefix "$repo/scripts/rehearsal/sandbox" "$@" </dev/null 2>"$log"
}

# key_value FILE KEY: the value of the first line "KEY: value" in FILE (the answer of
# kestrova-release defaults); empty if there is none.
key_value() {
  sed -n "/^$2: /{s///p;q}" "$1"
}

# checks ARGS...: the release checks (scripts/release_checks.py) with Debian's Python,
# whose python3-cryptography and python3-pykcs11 scripts/setup installs.
checks() {
  /usr/bin/python3 -B -E -s "$repo/scripts/release_checks.py" "$@"
}

# build_commit REPO COMMIT WORK HOST DEFAULT_SHA256 SOURCE_DATE_EPOCH [TARGET...]
# The one way a release is built, by scripts/release and scripts/verify-release alike:
# COMMIT as committed, checked out into a new worktree WORK/source (nothing untracked or
# changed in REPO's checkout can reach it) and built fresh in WORK/build by the build
# steps of that commit's own release-common.sh. Logs: WORK/checkout.log, WORK/build.log;
# returns non-zero when the checkout or the build fails. WORK/source stays a worktree of
# REPO until remove_commit_checkout.
build_commit() {
  local repo=$1 commit=$2 work=$3 host=$4 sha256=$5 epoch=$6
  shift 6
  git -C "$repo" worktree add --detach "$work/source" "$commit" >"$work/checkout.log" 2>&1 || return 1
  (source "$work/source/scripts/release-common.sh" &&
    build_release_binaries "$work/source" "$work/build" "$host" "$sha256" "$epoch" "$work/build.log" "$@")
}

# remove_commit_checkout REPO WORK: undoes build_commit's worktree.
remove_commit_checkout() {
  git -C "$1" worktree remove --force "$2/source" >/dev/null 2>&1 || true
}

# seconds START: the seconds since START (a `date +%s.%N`), with one decimal.
seconds() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
