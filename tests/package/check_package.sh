#!/usr/bin/env bash
# The Debian package made from this build, as `make package` makes it,
# unpacked into a scratch root with dpkg -x: what it holds and depends on,
# that its programs and the console's launcher run from there, that nothing
# in it points back into the build machine, what its maintainer scripts leave
# behind, and that the package, its copyright file, service unit, desktop
# entry and manual pages pass their checkers (lintian for the first two).
#
#   check_package.sh SOURCE_DIR BUILD_DIR VERSION CONSOLE(1 or 0)
#
# Exits 77 (skipped) when a packaging tool is missing;
# scripts/install-deps.sh package installs them.
set -euo pipefail

source_dir=$1
build_dir=$2
version=$3
console=$4

missing=()
for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-source dpkg-parsechangelog deb-systemd-helper \
    lintian groff desktop-file-validate readelf; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "skipped: ${missing[*]} missing; scripts/install-deps.sh package installs them"
    exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# --- Manual pages: no warnings, the version of the programs, and every
# option and command the programs' own help lists.
for page in vextora-server.1 vextora.1; do
    warnings=$(groff -ww -man -Tutf8 "$source_dir/docs/man/$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$page: groff warns: $warnings"
    grep -q "^\.TH .* \"Vextora $version\"" "$source_dir/docs/man/$page" ||
        fail "$page: its header does not name version $version"
done
# A page's text as a reader sees it, for looking up names.
rendered() { groff -man -Tascii -P-cbou "$source_dir/docs/man/$1" 2>/dev/null; }
server_page=$(rendered vextora-server.1)
client_page=$(rendered vextora.1)
for option in $("$build_dir/vextora-server" --help | grep -oE -- '--[a-z-]+' | sort -u); do
    grep -qF -- "$option" <<<"$server_page" || fail "vextora-server(1) does not explain $option"
done
client_help=$("$build_dir/vextora" --help)
for option in $(grep -oE -- '(^|[][ ])--?[a-zA-Z][a-z-]*' <<<"$client_help" | tr -d '[] ' | sort -u); do
    grep -qF -- "$option" <<<"$client_page" || fail "vextora(1) does not explain $option"
done
for command in $(sed -n '/^Commands:/,/^$/p' <<<"$client_help" | grep -oE '^  [a-z]+'); do
    grep -qE "^ +$command( |$)" <<<"$client_page" || fail "vextora(1) does not explain '$command'"
done

# Sets remarks to lintian's on a package or source package, one a line
# ("E: vextora: TAG CONTEXT"); its notes on stderr (such as running as root)
# are dropped, and the files it leaves in TMPDIR go with the scratch folder.
lint() {
    if ! TMPDIR="$scratch" lintian --fail-on none --no-override "$@" \
        >"$scratch/lintian.out" 2>"$scratch/lintian.err"; then
        fail "lintian could not run: $(cat "$scratch/lintian.err")"
        : >"$scratch/lintian.out"
    fi
    remarks=$(grep -E '^[EWIPX]: ' "$scratch/lintian.out" || true)
}

# --- The licence. The copyright file the package carries grants what
# LICENSE grants, to the same holder.
debian="$source_dir/packaging/debian"
license_holder=$(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")
copyright_holder=$(sed -n 's/^Copyright: //p' "$debian/copyright")
[ -n "$license_holder" ] && [ "$license_holder" = "$copyright_holder" ] ||
    fail "LICENSE names '$license_holder', the copyright file '$copyright_holder'"
# The terms: LICENSE's from their first line, the copyright file's licence
# text with its one-space indent and its "." for an empty line undone.
sed -n '/^Permission is hereby granted/,$p' "$source_dir/LICENSE" >"$scratch/license-terms"
sed -n '/^License: Expat$/,/^$/{/^ /p}' "$debian/copyright" | sed 's/^ //; s/^\.$//' \
    >"$scratch/copyright-terms"
if [ ! -s "$scratch/license-terms" ] ||
    ! diff -u "$scratch/license-terms" "$scratch/copyright-terms"; then
    fail "the copyright file's terms differ from LICENSE (- LICENSE, + copyright file)"
fi
changelog_version=$(dpkg-parsechangelog -l "$debian/changelog" -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "the changelog's latest entry is for $changelog_version, not $version"
# lintian reads a copyright file as machine-readable only in a source
# package, so it is shown one made of the packaging's changelog and
# copyright. No remark of any level is accepted.
tree="$scratch/source/vextora-$version"
mkdir -p "$tree/debian/source"
cp "$debian/changelog" "$debian/copyright" "$tree/debian/"
echo '3.0 (native)' >"$tree/debian/source/format"
cat >"$tree/debian/control" <<EOF
Source: vextora
Maintainer: $(dpkg-parsechangelog -l "$debian/changelog" -S Maintainer)
Standards-Version: 4.6.2

Package: vextora
Architecture: any
Description: copyright check
 Only its debian/copyright is looked at.
EOF
if (cd "$scratch/source" && dpkg-source -b "vextora-$version") >"$scratch/source.log" 2>&1; then
    lint -C debian/copyright,debian/copyright/dep5 -EvIL +pedantic "$scratch"/source/vextora_*.dsc
    [ -z "$remarks" ] || fail "lintian on the copyright file:"$'\n'"$remarks"
else
    fail "dpkg-source could not make a source package of the copyright file: $(cat "$scratch/source.log")"
fi

# --- The package, made into the scratch folder so the build's own is left alone.
if ! cpack -G DEB -B "$scratch/out" --config "$build_dir/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"
    fail "cpack could not make the package"
    exit 1
fi
deb=$(ls "$scratch"/out/vextora_"$version"_*.deb)
echo "made $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vextora ] || fail "package name is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "package version is $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] ||
    fail "package architecture is $(field Architecture)"
depends=$(field Depends)
needed=(adduser libc6 libstdc++6 libedit2)
[ "$console" = 1 ] && needed+=(libqt6core6 libqt6gui6 libqt6widgets6)
depends_names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for package in "${needed[@]}"; do
    grep -qxF "$package" <<<"$depends_names" || fail "Depends lacks $package: $depends"
done

# Every file, its owner and its mode.
expected=(
    "-rwxr-xr-x root/root ./usr/bin/vextora"
    "-rwxr-xr-x root/root ./usr/bin/vextora-server"
    "-rw-r--r-- root/root ./usr/lib/systemd/system/vextora-server.service"
    "-rw-r--r-- root/root ./usr/share/bash-completion/completions/vextora"
    "-rw-r--r-- root/root ./usr/share/doc/vextora/README.md"
    "-rw-r--r-- root/root ./usr/share/doc/vextora/changelog.gz"
    "-rw-r--r-- root/root ./usr/share/doc/vextora/copyright"
    "-rw-r--r-- root/root ./usr/share/doc/vextora/docs/protocol.md"
    "-rw-r--r-- root/root ./usr/share/man/man1/vextora-server.1.gz"
    "-rw-r--r-- root/root ./usr/share/man/man1/vextora.1.gz"
)
for picture in "$source_dir"/docs/console-*.png; do
    expected+=("-rw-r--r-- root/root ./usr/share/doc/vextora/docs/$(basename "$picture")")
done
if [ "$console" = 1 ]; then
    expected+=(
        "-rwxr-xr-x root/root ./usr/libexec/vextora/vextora-console"
        "-rw-r--r-- root/root ./usr/share/applications/vextora-server.desktop"
        "-rw-r--r-- root/root ./usr/share/icons/hicolor/scalable/apps/vextora-server.svg"
    )
fi
printf '%s\n' "${expected[@]}" | sort >"$scratch/expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >"$scratch/actual"
if ! diff -u "$scratch/expected" "$scratch/actual"; then
    fail "the package holds other files than expected (- expected, + found)"
fi
dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && $2 != "root/root" {print}' | grep . &&
    fail "folders not owned by root"

# --- Debian's checker: no error, and no warning that
# tests/package/lintian-allowed does not list with its reason.
lint "$deb"
errors=$(grep '^E: ' <<<"$remarks" || true)
[ -z "$errors" ] || fail "lintian reports errors:"$'\n'"$errors"
allowed=$(grep -v '^#' "$source_dir/tests/package/lintian-allowed" | grep . || true)
warnings=$(sed -n 's/^W: vextora: //p' <<<"$remarks")
while IFS= read -r warning; do
    [ -z "$warning" ] || grep -qxF -- "$warning" <<<"$allowed" ||
        fail "lintian warns, and lintian-allowed does not accept it: $warning"
done <<<"$warnings"
while IFS= read -r entry; do
    [ -z "$entry" ] || grep -qxF -- "$entry" <<<"$warnings" ||
        fail "lintian-allowed accepts a warning lintian no longer gives: $entry"
done <<<"$allowed"
echo "lintian: $(grep -c '^E: ' <<<"$remarks") errors, $(grep -c '^W: ' <<<"$remarks") warnings"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"

# --- The programs run from the unpacked tree, on the system's libraries.
for program in vextora-server vextora; do
    out=$(env -i PATH=/usr/bin:/bin "$root/usr/bin/$program" --version 2>&1) ||
        fail "$program --version failed: $out"
    [ "$out" = "$program $version" ] || fail "$program --version printed '$out'"
    if readelf -d "$root/usr/bin/$program" | grep -qE 'RPATH|RUNPATH'; then
        fail "$program carries a library search path: $(readelf -d "$root/usr/bin/$program" | grep -E 'RPATH|RUNPATH')"
    fi
    readelf -S "$root/usr/bin/$program" | grep -q '\.debug_' && fail "$program is not stripped"
done
# Nothing shipped names the build machine's folders.
for folder in "$build_dir" "$source_dir"; do
    found=$(grep -rlF -- "$folder" "$root" || true)
    [ -z "$found" ] || fail "files name $folder: $found"
done

# --- The service unit. systemd-analyze looks for the programs on this
# machine, so it is shown the unit with the unpacked tree's paths.
unit="$root/usr/lib/systemd/system/vextora-server.service"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = "/usr/bin/vextora-server --headless" ] ||
    fail "the service starts '$exec_start', not the packaged server headless"
for page in $(sed -n 's/^Documentation=man:\([a-z-]*\)(\([0-9]\))$/\1.\2/p' "$unit"); do
    [ -f "$root/usr/share/man/man1/$page.gz" ] || fail "the service names a missing manual page $page"
done
if command -v systemd-analyze >/dev/null; then
    mkdir "$scratch/unit"
    sed "s|^ExecStart=/usr/|ExecStart=$root/usr/|" "$unit" >"$scratch/unit/vextora-server.service"
    # --man=no: the pages are in the package, not yet on this machine.
    verify=$(systemd-analyze verify --man=no "$scratch/unit/vextora-server.service" 2>&1) ||
        fail "systemd-analyze verify failed: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify complains: $verify"
    # The hardening, as systemd rates it (0 to 100, lower is safer): a change
    # that opens the service up fails here.
    security=$(systemd-analyze security --offline=yes --threshold=20 \
        "$scratch/unit/vextora-server.service" 2>&1) ||
        fail "the service is exposed more than before: $(tail -1 <<<"$security")"
    echo "service unit: verified; $(grep -o 'Overall exposure level.*' <<<"$security")"
else
    echo "systemd-analyze missing: the service unit was not verified"
fi

# --- The desktop entry, its launcher and its icon.
if [ "$console" = 1 ]; then
    entry="$root/usr/share/applications/vextora-server.desktop"
    out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed: $out"
    [ -z "$out" ] || fail "desktop-file-validate complains: $out"
    launcher=$(sed -n 's/^Exec=//p' "$entry")
    [ -x "$root$launcher" ] || fail "the desktop entry starts $launcher, which the package lacks"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
        fail "the desktop entry's icon $icon is not in the package"

    # Started from the menu, the server gets a private data folder, whatever
    # the session's umask.
    umask 022
    home="$scratch/home"
    mkdir -p "$home"
    out=$(env -i HOME="$home" PATH=/usr/bin:/bin "$root$launcher" --version 2>&1) ||
        fail "the launcher failed: $out"
    [ "$out" = "vextora-server $version" ] || fail "the launcher printed '$out'"
    data="$home/.local/share/vextora"
    [ "$(stat -c %a "$data" 2>/dev/null)" = 700 ] ||
        fail "the launcher's data folder $data is not private (mode $(stat -c %a "$data" 2>&1))"
    out=$(env -i HOME="$home" XDG_DATA_HOME="$scratch/xdg" PATH=/usr/bin:/bin \
        "$root$launcher" --version 2>&1) || fail "the launcher failed: $out"
    [ -d "$scratch/xdg/vextora" ] || fail "the launcher ignores XDG_DATA_HOME"
fi

# --- A plain install elsewhere: everything lands below DESTDIR and the
# prefix, and the paths written into the unit and the desktop entry follow
# the prefix.
staged="$scratch/staged"
DESTDIR="$staged" cmake --install "$build_dir" --prefix /opt/vextora >/dev/null ||
    fail "cmake --install with DESTDIR and a prefix failed"
outside=$(cd "$staged" && find . -type f ! -path './opt/vextora/*')
[ -z "$outside" ] || fail "installed outside the prefix: $outside"
grep -qx 'ExecStart=/opt/vextora/bin/vextora-server --headless' \
    "$staged/opt/vextora/lib/systemd/system/vextora-server.service" ||
    fail "the unit installed under /opt/vextora does not start /opt/vextora/bin/vextora-server"
if [ "$console" = 1 ]; then
    grep -qx 'Exec=/opt/vextora/libexec/vextora/vextora-console' \
        "$staged/opt/vextora/share/applications/vextora-server.desktop" ||
        fail "the desktop entry installed under /opt/vextora does not start its launcher there"
    out=$(env -i HOME="$scratch/home" PATH=/usr/bin:/bin \
        "$staged/opt/vextora/libexec/vextora/vextora-console" --version 2>&1) || true
    [ "$out" = "vextora-server $version" ] || fail "the launcher under /opt/vextora printed '$out'"
fi

# --- Maintainer scripts, run against a scratch root (dpkg's DPKG_ROOT) that
# holds the unpacked package, with the commands that would change this
# machine replaced by recorders. deb-systemd-helper is the real one, which
# keeps to DPKG_ROOT.
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst prerm postrm; do
    sh -n "$scratch/control/$script" || fail "$script does not parse"
done
stubs="$scratch/stubs"
mkdir "$stubs"
log="$scratch/commands.log"
for command in adduser chown systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$command" "$log" >"$stubs/$command"
done
# The user exists once adduser has been run.
users="$scratch/users"
printf 'echo "$*" >>"%s"\n' "$users" >>"$stubs/adduser"
printf '#!/bin/sh\n[ "$1" = passwd ] && grep -q " $2$" "%s" 2>/dev/null\n' "$users" >"$stubs/getent"
chmod +x "$stubs"/*
sysroot="$scratch/sysroot"
dpkg-deb -x "$deb" "$sysroot"
run_script() {
    DPKG_ROOT="$sysroot" DPKG_MAINTSCRIPT_PACKAGE=vextora DPKG_MAINTSCRIPT_NAME="$1" \
        PATH="$stubs:$PATH" "$scratch/control/$1" "${@:2}"
}
boot_link=/etc/systemd/system/multi-user.target.wants/vextora-server.service

run_script postinst configure >/dev/null || fail "postinst configure failed"
data="$sysroot/var/lib/vextora"
grep -q '^adduser .*--system.* vextora$' "$log" || fail "postinst made no system user vextora"
[ "$(stat -c %a "$data" 2>/dev/null)" = 750 ] || fail "the data folder is not mode 0750"
grep -qx "chown vextora:vextora $data" "$log" || fail "the data folder is not given to vextora"
password="$data/adminpass.cfg"
[ "$(stat -c %a "$password" 2>/dev/null)" = 600 ] || fail "adminpass.cfg is not mode 0600"
grep -qx "chown vextora:vextora $data/adminpass.cfg.new" "$log" ||
    fail "adminpass.cfg is not given to vextora"
[ "$(wc -c <"$password")" -ge 16 ] || fail "the administrator password is short or missing"
[ "$(wc -l <"$password")" = 0 ] || fail "the administrator password ends in a line end"
[ -L "$sysroot$boot_link" ] && fail "installing enabled the service"
grep -qxF "$boot_link" "$sysroot/var/lib/systemd/deb-systemd-helper-enabled/vextora-server.service.dsh-also" ||
    fail "postinst did not record the service's boot link for deb-systemd-helper"

# The operator enables the service: an upgrade keeps it so, removing the
# package takes it out of the boot, and purging leaves nothing of systemd's.
mkdir -p "$(dirname "$sysroot$boot_link")"
ln -s /usr/lib/systemd/system/vextora-server.service "$sysroot$boot_link"
before=$(cat "$password")
: >"$log"
run_script postinst configure 0.9.0 >/dev/null || fail "postinst configure (upgrade) failed"
[ "$(cat "$password")" = "$before" ] || fail "an upgrade replaced the administrator password"
grep -q '^adduser' "$log" && fail "an upgrade made the user again"
[ -L "$sysroot$boot_link" ] || fail "an upgrade took the enabled service out of the boot"
run_script prerm remove >/dev/null || fail "prerm remove failed"
[ -L "$sysroot$boot_link" ] && fail "removing the package left the service in the boot"
# dpkg removes the package's files before postrm.
rm "$sysroot/usr/lib/systemd/system/vextora-server.service"
run_script postrm remove >/dev/null || fail "postrm remove failed"
run_script postrm purge >/dev/null || fail "postrm purge failed"
[ -f "$password" ] || fail "purge removed the data folder"
left=$(find "$sysroot/etc/systemd" "$sysroot/var/lib/systemd" ! -type d 2>/dev/null || true)
[ -z "$left" ] || fail "purging left systemd's files: $left"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "package checks passed"
