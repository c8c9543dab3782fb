# Sourced by the packaging tests, which check the files in dist/ as a user gets
# them. Without them a test skips (77), unless ZARVEK_REQUIRE_PACKAGES is set,
# as ./test.sh does after making them.
fail() { echo "FAIL: $*" >&2; exit 1; }

require_packages() {
  local file
  for file in "$@"; do
    [ -f "$file" ] && continue
    echo "$file is missing: ./run.sh package makes it" >&2
    [ -n "${ZARVEK_REQUIRE_PACKAGES:-}" ] && exit 1
    exit 77
  done
}
