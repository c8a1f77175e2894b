# Sourced by scripts/test-kit: the zips themselves: signatures, file lists, the DLLs and the MSVC import
# libraries.

# Packages both kits signed with a throwaway certificate (valid for a day) and sets version, dist, kit32
# and kit64 (the unpacked kits, their debug zips unpacked over them).
make_signed_kits() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
    -subj "/CN=hvpelk test-kit throwaway" -addext "extendedKeyUsage=codeSigning" 2>/dev/null ||
    fail "openssl could not make the throwaway certificate"
  "$top/scripts/package" --sign "$work/key.pem" "$work/cert.pem"
  find_tools
  local tool
  for tool in makensis osslsigncode; do
    type -P "$tool" >/dev/null || fail "$tool not found after setup"
  done
  version=$(sed -n 's/^#define HVPELK_VERSION_TEXT "\(.*\)"$/\1/p' "$build32/include/hvpelk/version.h")
  dist="$top/dist"
  kit32="$work/kits/hvpelk-$version-win32"
  kit64="$work/kits/hvpelk-$version-win64-test"
}

# Only the top folder's name differs between the two kits.
kit_files() {
  cat <<FILES
bin/hvpelk.dll
bin/hvservice.exe
bin/pelk.exe
examples/catalog/catalog.ini
examples/catalog/quillan-notes-2.1-de.txt
examples/catalog/quillan-notes-2.1-en.txt
examples/catalog/quillan-sketch-1.0.3-en.txt
examples/nsis/download-page.png
examples/nsis/setup.nsi
examples/updater/CMakeLists.txt
examples/updater/updater.c
include/hvpelk/exports.h
include/hvpelk/loader.h
include/hvpelk/version.h
include/nsis/hvpelk.nsh
lib/cmake/hvpelk/hvpelkConfig.cmake
lib/cmake/hvpelk/hvpelkConfigVersion.cmake
lib/hvpelk.def
lib/hvpelk.lib
lib/libhvpelk.dll.a
licenses/cpp-httplib.txt
licenses/libstdc++-libgcc.txt
licenses/mingw-w64-winpthread.txt
licenses/pugixml.txt
licenses/zlib.txt
README.md
FILES
}
check_list() { # zip, expected files below the top folder
  local top_folder want got
  top_folder=$(basename "$1" .zip)
  top_folder=${top_folder%-debug}
  want=$(echo "$2" | sed "s|^|$top_folder/|" | sort)
  got=$(unzip -Z1 "$1" | grep -v '/$' | sort)
  [ "$want" = "$got" ] || { diff <(echo "$want") <(echo "$got"); fail "the file list of $(basename "$1")"; }
}

# Every zip holds exactly its files; both kits are unpacked with their debug zips.
check_file_lists() {
  local suffix name
  for suffix in win32 win64-test; do
    name="hvpelk-$version-$suffix"
    check_list "$dist/$name.zip" "$(kit_files)"
    check_list "$dist/$name-debug.zip" "bin/hvpelk.dll.debug"
    unzip -q "$dist/$name.zip" -d "$work/kits"
    unzip -q "$dist/$name-debug.zip" -d "$work/kits"
  done
  echo "test-kit: the file lists are complete"
}

check_signatures() {
  local kit file verified
  for kit in "$kit32" "$kit64"; do
    for file in bin/hvpelk.dll bin/pelk.exe bin/hvservice.exe; do
      verified=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$kit/$file" 2>&1) ||
        { echo "$verified"; fail "the signature of $(basename "$kit")/$file does not verify"; }
      grep -q 'Signature verification: ok' <<<"$verified" || fail "no verified signature in $(basename "$kit")/$file"
    done
  done
  echo "test-kit: the Authenticode signatures of hvpelk.dll, pelk.exe and hvservice.exe verify (win32, win64-test)"
}

check_kit_readme() {
  grep -q '## Troubleshooting' "$kit32/README.md" && grep -q '### Status codes' "$kit32/README.md" ||
    fail "the kit's README lacks its troubleshooting or the API reference"
}

check_debug_link() { # kit folder with the debug zip unpacked over it, binutils prefix
  local sections
  sections=$("$2-objdump" -h "$1/bin/hvpelk.dll")
  grep -q '\.gnu_debuglink' <<<"$sections" || fail "hvpelk.dll has no debug link"
  grep -q '\.debug_info' <<<"$sections" && fail "hvpelk.dll is not stripped"
  grep -q 'hvpelk.dll.debug' <<<"$("$2-objdump" -s -j .gnu_debuglink "$1/bin/hvpelk.dll")" ||
    fail "the debug link does not name hvpelk.dll.debug"
  grep -q '\.debug_info' <<<"$("$2-objdump" -h "$1/bin/hvpelk.dll.debug")" ||
    fail "hvpelk.dll.debug has no symbols"
}

# The shipped DLL (scripts/check-dll: exports, imports, size, hardening), and both DLLs stripped with a
# debug link to a debug file that has the symbols.
check_dlls() {
  "$top/scripts/check-dll" "$kit32/bin/hvpelk.dll" "$kit32/lib/hvpelk.def"
  check_debug_link "$kit32" i686-w64-mingw32
  check_debug_link "$kit64" x86_64-w64-mingw32
  echo "test-kit: the DLLs are stripped and linked to their debug files"
}

# The MSVC import library: every name of the .def (check-dll compares the DLL's exports with the same 25),
# referenced from C compiled for the MSVC ABI (i686 names get MSVC's decoration) and linked with lld-link
# against hvpelk.lib alone. Only declarations are needed, so stand-ins replace the Windows SDK headers,
# which this host does not have.
check_msvc_lib() { # kit folder, clang target, binutils prefix
  local kit=$1 target=$2 objdump=$3-objdump out="$work/msvc-$2"
  mkdir -p "$out/sdk"
  echo 'typedef struct tagVARIANT VARIANT;' >"$out/sdk/windows.h"
  : >"$out/sdk/oleauto.h"
  echo '#include <stddef.h>' >"$out/sdk/wchar.h"
  local exported imported
  exported=$(sed -n 's/^ *\(Pelk[A-Za-z]*\).*/\1/p' "$kit/lib/hvpelk.def" | sort)
  {
    echo '#include <hvpelk/exports.h>'
    echo 'const void* const exports[] = {'
    sed 's/.*/  (const void*)\&&,/' <<<"$exported"
    echo '};'
    echo 'int __cdecl entry(void) { return exports[0] != 0; }'
  } >"$out/uses.c"
  clang-14 --target="$target" -ffreestanding -c "$out/uses.c" -I "$out/sdk" -I "$kit/include" -o "$out/uses.obj"
  lld-link-14 /nologo /nodefaultlib /entry:entry /subsystem:console /out:"$out/uses.exe" "$out/uses.obj" \
    "$kit/lib/hvpelk.lib"
  imported=$("$objdump" -p "$out/uses.exe" |
    awk '/DLL Name:/{dll=tolower($3)} dll=="hvpelk.dll" && $NF ~ /^Pelk/{print $NF}' | sort)
  [ "$(echo "$imported" | wc -l)" -eq 25 ] && [ "$imported" = "$exported" ] ||
    { diff <(echo "$exported") <(echo "$imported"); fail "hvpelk.lib for $target"; }
  echo "test-kit: hvpelk.lib ($target) links every export by its undecorated name"
}
