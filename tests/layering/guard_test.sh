#!/bin/bash
# The layer guard against a copy of the tree with one violation planted at a time: the clean
# copy passes, each planted violation fails with its own complaint. Then the build's include
# roots: the station's root cannot see the command line.
#   guard_test.sh SOURCE_DIR BINARY_DIR CXX
set -u
source_dir=$1 binary_dir=$2 cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

guard() { cmake -DSOURCE_DIR="$work/src" -P "$source_dir/cmake/check_layers.cmake" 2>&1; }

fresh() {
  rm -rf "$work/src"
  cp -r "$source_dir/src" "$work/src"
}

fresh
if ! out=$(guard); then
  echo "FAIL: the clean tree does not pass:"; echo "$out"; failures=$((failures + 1))
fi

# plant NAME FILE LINE EXPECTED: appends LINE to FILE (under src/) and expects EXPECTED.
plant() {
  local name=$1 file=$2 line=$3 expected=$4
  fresh
  mkdir -p "$(dirname "$work/src/$file")"
  printf '%s\n' "$line" >> "$work/src/$file"
  if out=$(guard); then
    echo "FAIL: $name: the guard passed"; failures=$((failures + 1))
  elif ! grep -qF -- "$expected" <<<"$out"; then
    echo "FAIL: $name: the guard said something else:"; echo "$out"; failures=$((failures + 1))
  else
    echo "ok: $name"
  fi
}

plant "upward include" station/station.cpp '#include "cli/context.h"' "station may not include cli/"
plant "include without a space" station/station.cpp '#include"cli/context.h"' "station may not include cli/"
plant "angle include of a layer" serial/serial_port.cpp '#include <update/update_sequence.h>' "serial may not include update/"
plant "sub-layer from its layer" ui/main_window_model.cpp '#include "ui/qt/qt_views.h"' "only ui/qt/ itself may include ui/qt/"
plant "one toolkit from another" ui/qt/main_window.cpp '#include "ui/win32/win32_views.h"' "only ui/win32/ itself may include ui/win32/"
plant "words below the report" station/port_run.cpp 'const auto kWord = TrF("a %s", {"b"});' "words below report/"
plant "a marked text below the report" image/srecord.cpp 'constexpr auto kWord = ToTranslate("good");' "words below report/"
plant "a thread outside the station" update/update_sequence.cpp 'static std::thread stray;' "a thread outside station/"
plant "a detached thread" station/station.cpp 'void Stray(std::thread& t) { t.detach(); }' "a detached thread"
plant "a platform #if" protocol/device_protocol.cpp '#ifdef _WIN32' "a platform #if outside the files of one platform"
plant "a folder outside the map" stray/stray.cpp '' "the folder stray is no layer of the map"

# The build itself: the station's include root holds no cli/, so an upward include does not compile.
root="$binary_dir/include_roots/station_"
if [ ! -d "$root" ]; then
  echo "FAIL: no include root at $root"; failures=$((failures + 1))
else
  if echo '#include "cli/context.h"' | "$cxx" -std=c++20 -fsyntax-only -I"$root" -x c++ - 2>/dev/null; then
    echo "FAIL: the station's root compiles an include of cli/"; failures=$((failures + 1))
  else
    echo "ok: the station's root does not compile an include of cli/"
  fi
  if ! echo '#include "update/update_sequence.h"' | "$cxx" -std=c++20 -fsyntax-only -I"$root" -x c++ - ; then
    echo "FAIL: the station's root does not compile an include of update/"; failures=$((failures + 1))
  fi
fi
exit $((failures > 0))
