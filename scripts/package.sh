#!/usr/bin/env bash
# ./run.sh package: builds what ships and makes every package in dist/:
#   zarvek-VERSION-win64.zip   the Windows programs, help, sound and README.txt
#   zarvek-VERSION-win64.msi   the same, installed under Program Files (wixl)
#   zarvek_VERSION_amd64.deb   zarvek, zarvek-cable, zarvek(1), bash completion (CPack)
#   SHA256SUMS
# VERSION is project()'s in CMakeLists.txt. packaging/CMakeLists.txt says what
# each package holds. Refuses a Windows executable with an import that is not
# in packaging/windows-imports.txt, and a .deb with lintian errors.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc)
dist=$root/dist

cmake --preset windows >/dev/null
# Everything in app/ and cli/ (the program, its help files and chime, the
# console command) and no tests.
cmake --build --preset windows -j "$jobs" --target app/all cli/all >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows/CMakeCache.txt)
name=zarvek-$version-win64
work=build/windows/packaging
rm -rf "${work:?}/$name"
cmake --install build/windows --prefix "$work/$name" --strip >/dev/null
mapfile -t exes < <(find "$work/$name" -name '*.exe' | sort)
packaging/check-imports.sh packaging/windows-imports.txt "${exes[@]}"

mkdir -p "$dist"
rm -f "$dist"/zarvek-*-win64.zip "$dist"/zarvek-*-win64.msi "$dist"/zarvek_*_amd64.deb "$dist"/SHA256SUMS
# wixl finds files only by paths relative to where it runs.
(
  cd "$work"
  cmake -E tar cf "$dist/$name.zip" --format=zip "$name"
  help=zarvek.hlp
  [ -f "$name/zarvek.html" ] && help=zarvek.html
  find "$name" -type f | sort |
    wixl-heat -p "$name/" --component-group Files --var var.SourceDir --directory-ref INSTALLDIR --win64 >files.wxs
  wixl -a x64 -D Version="$version" -D SourceDir="$name" -D Win64=yes -D HelpFile="$help" \
    -o "$dist/$name.msi" "$root/packaging/windows/zarvek.wxs" files.wxs
)

cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target zarvek zarvek-cable >/dev/null
rm -rf build/native/packages
(cd build/native && cpack >/dev/null)
deb=zarvek_${version}_amd64.deb
cp "build/native/packages/$deb" "$dist/"
lintian --fail-on error "$dist/$deb" 2> >(grep -v 'root privileges' >&2)

(cd "$dist" && sha256sum "$name.zip" "$name.msi" "$deb" >SHA256SUMS)
echo "Packages of zarvek $version in dist/:"
(cd "$dist" && ls -l "$name.zip" "$name.msi" "$deb" SHA256SUMS)
