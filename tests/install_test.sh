#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that the installed
# CLI finds the installed modules, and that an application builds against the
# installed headers and library through pkg-config and through CMake.
#   install_test.sh BUILD_DIR SANITIZER_FLAGS
set -euo pipefail
build=$1
flags=${2:-}
prefix=$(mktemp -d /tmp/korvel-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

cd "$prefix"
out=$(env -u KORVEL_MODULE_PATH "$prefix/bin/korvel" --format json --database "$prefix/t.db" "select 41 + 1 as answer")
[ "$out" = '{"answer":42}' ] || { echo "installed CLI printed: $out"; exit 1; }

cat > app.cpp <<'CPP'
#include <korvel/korvel.h>
#include <iostream>
int main(int, char** argv) {
  auto db = korvel::Korvel::create({.backend = "SQLite", .database = argv[1]});
  for (const korvel::Value& row : db->query("SELECT 'installed' AS word"))
    std::cout << row.asRecord()->at("word").text() << "\n";
}
CPP
libdir=$(dirname "$(find "$prefix" -name korvel.pc | head -1)")/..
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086
g++ $flags app.cpp -o app-pc $(pkg-config --cflags --libs korvel) -Wl,-rpath,"$libdir"
[ "$(./app-pc "$prefix/a.db")" = installed ] || { echo "pkg-config application failed"; exit 1; }

mkdir consumer && cd consumer
cat > CMakeLists.txt <<CM
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(Korvel REQUIRED)
add_executable(app ../app.cpp)
target_compile_options(app PRIVATE $flags)
target_link_options(app PRIVATE $flags)
target_link_libraries(app PRIVATE Korvel::korvel)
CM
cmake -S . -B b -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build b >/dev/null
[ "$(./b/app "$prefix/b.db")" = installed ] || { echo "find_package application failed"; exit 1; }
echo "install tree works"
