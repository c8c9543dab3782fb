#!/usr/bin/env bash
# check-imports.sh LIST EXE...: fails when an executable imports a function that
# LIST (packaging/windows-imports.txt) does not hold, when LIST gives a function
# a Windows newer than 7, or when an executable asks for a subsystem newer than
# Windows 7's (6.1), which Windows 7 refuses to start. Prints each fault.
set -euo pipefail
list=$1; shift
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
status=0

allowed=$(awk '!/^#/ && NF { split($1, f, "!"); print tolower(f[1]) "!" f[2] }' "$list" | sort -u)
newer=$(awk '!/^#/ && NF && $2 !~ /^(NT4|2000|XP|x64|Vista|7)$/' "$list")
if [ -n "$newer" ]; then
  printf '%s: newer than Windows 7 or without a version:\n%s\n' "$list" "$newer" >&2
  status=1
fi

for exe in "$@"; do
  dump=$("$objdump" -p "$exe")
  # An import by ordinal has no name: it shows as DLL!#ordinal and is never allowed.
  imports=$(awk '/DLL Name:/ { dll = tolower($3) }
                 /^\t[0-9a-f]+[ \t]+[0-9]+ +[^ ]/ { print dll "!" ($3 == "<none>" ? "#" $2 : $3) }' <<<"$dump" | sort -u)
  [ -n "$imports" ] || { echo "$exe: no imports read" >&2; status=1; continue; }
  unknown=$(comm -23 <(echo "$imports") <(echo "$allowed"))
  if [ -n "$unknown" ]; then
    printf '%s imports what %s does not hold:\n%s\n' "$exe" "$list" "$unknown" >&2
    status=1
  fi
  subsystem=$(awk '/^MajorSubsystemVersion/ { major = $2 } /^MinorSubsystemVersion/ { minor = $2 }
                   END { print major * 100 + minor }' <<<"$dump")
  if [ "$subsystem" -gt 601 ]; then
    echo "$exe: subsystem version $((subsystem / 100)).$((subsystem % 100)) is newer than Windows 7's 6.1" >&2
    status=1
  fi
done
exit $status
