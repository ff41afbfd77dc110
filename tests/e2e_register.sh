#!/usr/bin/env bash
# End to end: in a fresh Wine prefix of its own, regsvr32 the host DLL and then Vexa.dll
# (from a folder whose name holds a single quote), check the registry, unregister Vexa.dll
# and check that no Vexa entry is left.
# Usage: bash tests/e2e_register.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source "$(dirname "$0")/support/e2e.sh"
e2e_prefix "$build" e2e-register

PLUGIN=$CLSID_VexaPlugin
PAGE=$CLSID_VexaPluginPropertyPage
LIBID=$LIBID_VexaLib
REGISTRAR=$CLSID_ComponentRegistrar

e2e_boot

# Windows paths of the DLLs; Vexa.dll lies in a folder with a quote in its name.
quoted_dir="$WINEPREFIX/drive_c/Vexa O'Brien"
mkdir -p "$quoted_dir"
cp "$build/Vexa.dll" "$quoted_dir/"
cp "$build/SidebarHost.dll" "$WINEPREFIX/drive_c/"
vexa_win="C:\\Vexa O'Brien\\Vexa.dll"
host_win='C:\SidebarHost.dll'

# The default value of a key: the text after "REG_SZ" on the "(Default)" line.
default_of() { query "$1" /ve | sed -n 's/.*REG_SZ[[:space:]]*//p' | head -n1; }
value_of() { query "$1" /v "$2" | sed -n "s/.*$2[[:space:]]*REG_[A-Z_]*[[:space:]]*//p" | head -n1; }

# Vexa.dll exports exactly its four entry points and imports system DLLs only: each
# imported DLL must be one that the prefix's system folder provides.
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$build/CMakeCache.txt")
if [ -x "$objdump" ]; then
    exports=$("$objdump" -p "$build/Vexa.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
              sed '1d' | sed -n 's/.*\] //p' | sort | tr '\n' ' ')
    [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] || \
        fail "exports are: $exports"
    # The DLL's bitness matches its prefix, whose system32 holds the DLLs it can load.
    sysdir="$WINEPREFIX/drive_c/windows/system32"
    for dll in $("$objdump" -p "$build/Vexa.dll" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
        ls "$sysdir" | grep -qix "$dll" || fail "Vexa.dll imports $dll, not a system DLL"
    done
fi

run regsvr32 /s "$host_win" || fail "regsvr32 SidebarHost.dll"
for class in "$REGISTRAR" "$CLSID_DisplayPluginHelper" "$CLSID_DisplayContentItemHelper"; do
    [ "$(default_of "HKCR\\CLSID\\$class\\InprocServer32")" = "$host_win" ] || fail "host class $class not registered"
done

run regsvr32 /s "$vexa_win"; rc=$?
[ $rc -eq 0 ] || fail "regsvr32 Vexa.dll exited with $rc"

# COM entries of both classes.
[ "$(default_of "HKCR\\Vexa.VexaPlugin.1\\CLSID")" = "$PLUGIN" ] || fail "Vexa.VexaPlugin.1\\CLSID"
[ "$(default_of "HKCR\\Vexa.VexaPlugin\\CurVer")" = "Vexa.VexaPlugin.1" ] || fail "Vexa.VexaPlugin\\CurVer"
[ "$(default_of "HKCR\\CLSID\\$PLUGIN")" = "VexaPlugin" ] || fail "plugin class key"
[ "$(default_of "HKCR\\CLSID\\$PLUGIN\\InprocServer32")" = "$vexa_win" ] || \
    fail "InprocServer32 is '$(default_of "HKCR\\CLSID\\$PLUGIN\\InprocServer32")'"
[ "$(value_of "HKCR\\CLSID\\$PLUGIN\\InprocServer32" ThreadingModel)" = "Apartment" ] || fail "ThreadingModel"
[ "$(default_of "HKCR\\CLSID\\$PLUGIN\\Description")" = "RSS Feed Viewer" ] || fail "Description"
[ "$(default_of "HKCR\\CLSID\\$PLUGIN\\TypeLib")" = "$LIBID" ] || fail "TypeLib"
key_exists "HKCR\\CLSID\\$PLUGIN\\Programmable" || fail "Programmable"
[ "$(default_of "HKCR\\CLSID\\$PAGE\\ProgID")" = "Vexa.VexaPluginPropertyPage.1" ] || fail "page ProgID"
[ "$(default_of "HKCR\\CLSID\\$PAGE\\InprocServer32")" = "$vexa_win" ] || fail "page InprocServer32"
# Type library and the host's entry.
key_exists "HKCR\\TypeLib\\$LIBID\\1.0" || fail "type library not registered"
[ "$(value_of "HKCU\\Software\\SidebarHost\\Plugins\\$PLUGIN" Title)" = "Vexa Plugin" ] || fail "host Title"
[ "$(value_of "HKCU\\Software\\SidebarHost\\Plugins\\$PLUGIN" Description)" = "RSS Feed Viewer" ] || fail "host Description"

run regsvr32 /s /u "$vexa_win"; rc=$?
[ $rc -eq 0 ] || fail "regsvr32 /u Vexa.dll exited with $rc"
for key in "HKCR\\Vexa.VexaPlugin.1" "HKCR\\Vexa.VexaPlugin" "HKCR\\Vexa.VexaPluginPropertyPage.1" \
           "HKCR\\Vexa.VexaPluginPropertyPage" "HKCR\\CLSID\\$PLUGIN" "HKCR\\CLSID\\$PAGE" \
           "HKCR\\TypeLib\\$LIBID" "HKCU\\Software\\SidebarHost\\Plugins\\$PLUGIN"; do
    key_exists "$key" && fail "$key remains after unregistration"
done
key_exists "HKCR\\CLSID" || fail "HKCR\\CLSID itself was removed"
key_exists "HKCR\\CLSID\\$REGISTRAR" || fail "the host's class went with Vexa's"

# Unregistering again finds nothing to remove and is no error.
run regsvr32 /s /u "$vexa_win" || fail "second regsvr32 /u Vexa.dll"

run regsvr32 /s /u "$host_win" || fail "regsvr32 /u SidebarHost.dll"
key_exists "HKCR\\CLSID\\$REGISTRAR" && fail "registrar class remains"

e2e_result "registration end to end"
