# Sourced by scripts/test-kit: the work folder and what every check of the kit shares.

work=$(mktemp -d)
# Stops what a check left running, and removes the work folder. start_wine sets a trap of its own: the
# main function sets this one again after it.
cleanup() { stop_service; wineserver -k 2>/dev/null || true; stop_display; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "test-kit: FAILED: $*"; exit 1; }
# Output is searched from a here-string: "cmd | grep -q" fails under pipefail when grep stops reading early.

# A Windows path for a file of the host (the prefix maps / to Z:).
winpath() { wine64 winepath -w "$1" 2>/dev/null; }

# The catalog folder of a paced service: one distribution of random bytes (256 KiB unless a size is given),
# a newer distribution of the example's package.
make_paced_catalog() { # folder, [size in bytes]
  mkdir -p "$1"
  head -c "${2:-262144}" /dev/urandom >"$1/quillan-notes-2.2-en.bin"
  printf '%s\n' "[distribution]" "id = QN-2200-EN" "productName = Quillan Notes 2.2" \
    "file = quillan-notes-2.2-en.bin" "distPackageGUID = {5B1E3C2A-7D44-4F1B-9C3E-2A6F0D8B1C01}" \
    "distributionGUID = {A3F0C6D2-1B7E-4E55-8A9D-64C2E1F0B201}" "distributionLanguage = en" \
    "distributionVersion = 2.2.0.0" >"$1/catalog.ini"
}
