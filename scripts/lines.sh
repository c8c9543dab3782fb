#!/usr/bin/env bash
# Lines of code per folder, production and tests, and the tests' share of all
# code. Counts the tracked .cpp .h .rc .py .sh files; tests/ is test code,
# everything else (benchmarks and scripts included) is production.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

counts=$(git ls-files -z -- '*.cpp' '*.h' '*.rc' '*.py' '*.sh' |
           while IFS= read -r -d '' f; do
             case $f in
               tests/*/*) kind=tests folder=tests/$(cut -d/ -f2 <<<"$f") ;;
               tests/*) kind=tests folder=tests ;;
               */*) kind=production folder=${f%%/*} ;;
               *) kind=production folder=. ;;
             esac
             echo "$kind $folder $(wc -l <"$f")"
           done)

for kind in production tests; do
  echo "$kind"
  awk -v k="$kind" '$1 == k { n[$2] += $3 } END { for (f in n) printf "  %-20s %7d\n", f, n[f] }' <<<"$counts" | sort
done
awk '{ n[$1] += $3 } END {
  all = n["production"] + n["tests"]
  printf "\nproduction %d, tests %d, all %d: tests are %.1f %% of all code\n", n["production"], n["tests"], all, 100 * n["tests"] / all
}' <<<"$counts"
