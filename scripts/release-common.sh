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
    cd "$source"
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
# it) in REPO's tests/e2e/sandbox with the Wine prefix PREFIX. Its stdout is the
# command's; everything on stderr goes to LOG.
run_tool_in_sandbox() {
  local repo=$1 prefix=$2 log=$3
  shift 3
  KESTROVA_WINEPREFIX=$prefix "$repo/tests/e2e/sandbox" "$@" </dev/null 2>"$log"
}

# key_value FILE KEY: the value of the first line "KEY: value" in FILE (BUILDINFO, the
# answer of kestrova-release defaults); empty if there is none.
key_value() {
  sed -n "s/^$2: //p" "$1" | head -n1
}

# seconds START: the seconds since START (a `date +%s.%N`), with one decimal.
seconds() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }
