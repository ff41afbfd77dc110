#!/usr/bin/env bash
# Builds the installer packages with wixl: build/Vexa-<version>-x86.msi (the x86 Vexa.dll)
# and build/Vexa-<version>-x64.msi (both DLLs, each registered in its own registry view).
# The version comes from the VERSION file, like the DLL's VERSIONINFO and the type library's.
# Usage: bash scripts/package.sh [--no-build] [--builds DIR] [--version V] [--out DIR] [x86] [x64]
#   --no-build   use the DLLs already in build/i686 and build/x86_64 (as the tests do)
#   --builds DIR take the DLLs from DIR/i686 and DIR/x86_64 (with --no-build)
#   --version V  stamp the packages with another version (for upgrade tests)
#   --out DIR    write the packages to DIR instead of build/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Fixed per platform: every version of the x86 package shares one upgrade code, every
# version of the x64 package another.
UPGRADE_CODE_X86='{6F1C2B8E-4D3A-4E57-9B0C-8A2D5E7F1306}'
UPGRADE_CODE_X64='{A3E5D7C9-1B2F-4A68-8C4E-6D0F2B9A5E71}'

build=1
version_override=
version=$(head -n1 "$root/VERSION" | tr -d '[:space:]')
out="$root/build"
builds="$root/build"
arches=()
while [ $# -gt 0 ]; do
    case "$1" in
        --no-build) build=0 ;;
        --version) version="$2"; version_override=1; shift ;;
        --out) out="$2"; shift ;;
        --builds) builds="$2"; shift ;;
        x86|x64) arches+=("$1") ;;
        *) echo "usage: package.sh [--no-build] [--builds DIR] [--version V] [--out DIR] [x86] [x64]" >&2; exit 2 ;;
    esac
    shift
done
[ ${#arches[@]} -eq 0 ] && arches=(x86 x64)
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)?$ ]]; then
    echo "package.sh: '$version' is not a version (major.minor.build[.revision])" >&2; exit 2
fi
command -v wixl >/dev/null || { echo "package.sh: wixl is missing (bash scripts/setup.sh installs it)" >&2; exit 1; }

if [ $build -eq 1 ]; then
    bash "$root/scripts/build.sh" i686
    [[ " ${arches[*]} " == *" x64 "* ]] && bash "$root/scripts/build.sh" x86_64
fi

# The COM identities, as the build generated them from the type library's source.
guids="$builds/i686/generated/guids.sh"
[ -f "$guids" ] || { echo "package.sh: $guids is missing (bash scripts/build.sh i686)" >&2; exit 1; }
source "$guids"
plugin_clsid=$CLSID_VexaPlugin
page_clsid=$CLSID_VexaPluginPropertyPage
libid=$LIBID_VexaLib
iid=$IID_IVexaPlugin
IFS=. read -r major minor _ <<<"$version"

# The file version in a DLL's VERSIONINFO.
file_version() { python3 "$root/scripts/peinfo.py" version "$1"; }

# The product code follows from the upgrade code and the version: one product per version.
product_code() {
    python3 -c 'import sys, uuid; print("{%s}" % str(uuid.uuid5(uuid.UUID(sys.argv[1]), "Vexa " + sys.argv[2])).upper())' "$1" "$2"
}

mkdir -p "$out"
out=$(cd "$out" && pwd)
for arch in "${arches[@]}"; do
    stage="$out/package-stage/$arch"
    rm -rf "$stage"
    mkdir -p "$stage/x86"
    cp "$root/resources/plugin.ico" "$stage/Vexa.ico"
    defines=()
    for f in Vexa.dll VexaSetup.dll; do
        [ -f "$builds/i686/$f" ] || { echo "package.sh: $builds/i686/$f is missing (bash scripts/build.sh i686)" >&2; exit 1; }
        cp "$builds/i686/$f" "$stage/x86/"
    done
    if [ "$arch" = x64 ]; then
        upgrade=$UPGRADE_CODE_X64
        mkdir -p "$stage/x64"
        for f in Vexa.dll VexaSetup.dll; do
            [ -f "$builds/x86_64/$f" ] || { echo "package.sh: $builds/x86_64/$f is missing (bash scripts/build.sh x86_64)" >&2; exit 1; }
            cp "$builds/x86_64/$f" "$stage/x64/"
        done
        defines+=(-D Win64Package=1)
    else
        upgrade=$UPGRADE_CODE_X86
    fi
    msi="$out/Vexa-$version-$arch.msi"
    (cd "$stage" && wixl -a "$arch" -o "$msi" -I "$root/packaging" \
        -D Version="$version" -D Arch="$arch" \
        -D ProductCode="$(product_code "$upgrade" "$version")" -D UpgradeCode="$upgrade" \
        -D PluginClsid="$plugin_clsid" -D PageClsid="$page_clsid" -D LibId="$libid" \
        -D InterfaceIid="$iid" -D TlbVersion="$major.$minor" "${defines[@]}" \
        "$root/packaging/Vexa.wxs")
    # wixl leaves the File table's versions empty; with them the installer replaces a DLL by
    # version, as it should, rather than by date.
    for bits in 32 64; do
        dll="$stage/x86/Vexa.dll"; [ $bits = 64 ] && dll="$stage/x64/Vexa.dll"
        [ -f "$dll" ] || continue
        dll_version=$(file_version "$dll")
        if [ -z "$version_override" ] && [ "$dll_version" != "$version" ]; then
            echo "package.sh: $dll is version $dll_version, VERSION says $version: rebuild it" >&2; exit 1
        fi
        msibuild "$msi" -q "UPDATE \`File\` SET \`Version\` = '$dll_version' WHERE \`File\` = 'VexaDll${bits}File'"
    done
    # wixl 0.101 writes Execute="rollback" actions as immediate ones (type 65). Give them
    # their rollback type: DLL from the Binary table (1) + return ignored (64) + in-script
    # (1024) + rollback (256).
    rollbacks=(JoinHost32Rollback)
    [ "$arch" = x64 ] && rollbacks+=(JoinHost64Rollback)
    for action in "${rollbacks[@]}"; do
        msibuild "$msi" -q "UPDATE \`CustomAction\` SET \`Type\` = 1345 WHERE \`Action\` = '$action'"
    done
    echo "package.sh: $msi"
done
