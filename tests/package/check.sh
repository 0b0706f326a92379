#!/usr/bin/env bash
# Checks of the Debian package, one per CTest test (tests/package/CMakeLists.txt):
#   check.sh COMMAND SOURCE_DIR BUILD_DIR VERSION PROGRAM...
#
#   icons      the files in res/ are what tools/make_icon.py draws, at their sizes
#   contents   the control fields (version, shlibs dependencies, runtime only) and
#              exactly the expected files
#   lintian    lintian's default level: no errors, no warnings
#   desktop    desktop-file-validate; Exec and Icon resolve inside the package
#   appstream  appstreamcli validate --no-net; the release is the project version
#   manpages   groff -ww and man --warnings say nothing
#   reproducible  a second build of the same sources elsewhere gives the same bytes
#   install    apt-get install, start the installed programs and see them paint,
#              every file the package's, purge, nothing left (root only)
# Exit 77 is a skip.
set -uo pipefail
command=$1 source=$2 build=$3 version=$4
shift 4
programs=("$@")
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "FAIL: $*" >&2; failed=1; }
failed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

deb_file() {
    local debs=("$build"/tavrik_*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] \
        || { echo "no single tavrik_*.deb in $build: build it with tools/package.sh" >&2; exit 1; }
    deb=${debs[0]}
}

unpack() {
    deb_file
    dpkg-deb -x "$deb" "$work/root" || exit 1
    root=$work/root
}

# What the package must hold, and nothing else.
expected_files() {
    local p size
    for p in "${programs[@]}"; do
        echo "./usr/bin/$p"
        echo "./usr/share/applications/$p.desktop"
        echo "./usr/share/man/man1/$p.1.gz"
    done
    for size in 16 32 48 64 128 256; do
        echo "./usr/share/icons/hicolor/${size}x${size}/apps/tavrik.png"
    done
    echo ./usr/share/icons/hicolor/scalable/apps/tavrik.svg
    echo ./usr/share/metainfo/org.tavrik.Tavrik.metainfo.xml
    echo ./usr/share/doc/tavrik/copyright
    echo ./usr/share/doc/tavrik/changelog.gz
}

# The value of KEY in a desktop entry's main group.
desktop_key() {  # FILE KEY
    sed -n "/^\[Desktop Entry\]/,/^\[/{s/^$2=//p}" "$1" | head -n 1
}

case "$command" in
icons)
    python3 "$source/tools/make_icon.py" --check || failed=1
    for size in 16 32 48 64 128 256; do
        read -r w h colours < <(python3 "$here/png_info.py" "$source/res/icons/tavrik-$size.png") \
            || { fail "tavrik-$size.png does not read"; continue; }
        [ "$w x $h" = "$size x $size" ] || fail "tavrik-$size.png is ${w}x$h"
        [ "$colours" -ge 8 ] || fail "tavrik-$size.png has $colours colours: the picture is missing"
    done
    python3 - "$source/res/icons/tavrik.svg" <<'PY' || fail "tavrik.svg is not a well-formed 32x32 SVG picture"
import sys, xml.dom.minidom
svg = xml.dom.minidom.parse(sys.argv[1]).documentElement
assert svg.tagName == 'svg' and svg.getAttribute('viewBox') == '0 0 32 32'
assert len(svg.getElementsByTagName('rect')) >= 8
PY
    ;;

contents)
    deb_file
    field() { dpkg-deb -f "$deb" "$1"; }
    [ "$(field Package)" = tavrik ] || fail "Package is '$(field Package)'"
    [ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
    [ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
    depends=$(field Depends)
    echo "Depends: $depends"
    echo "Installed-Size: $(field Installed-Size) KiB, file: $(stat -c %s "$deb") bytes"
    names=" $(echo "$depends" | tr ',|' '\n\n' | awk '{print $1}' | tr '\n' ' ')"
    for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 fonts-liberation2; do
        [[ "$names" == *" $lib "* ]] || fail "Depends lacks $lib"
    done
    if [[ " ${programs[*]} " == *" tavrik "* ]]; then
        [[ "$names" == *" libdvbv5-0 "* ]] || fail "Depends lacks libdvbv5-0"
    fi
    for dep in $names; do
        case "$dep" in *-dev|*-dev:*) fail "depends on the development package $dep" ;; esac
    done
    # One wording for the adapter tavrik takes: README.md's, in the manual
    # page, the package's description and the AppStream metadata alike.
    words="adapter 0 when it has a front end, otherwise the lowest-numbered adapter that has one; but a free front end comes before one another program holds"
    flat() { tr -s ' \n' '  '; }
    grep -q "$words" <(flat < "$source/README.md") || fail "README.md lacks: $words"
    if [[ " ${programs[*]} " == *" tavrik "* ]]; then
        dpkg-deb -x "$deb" "$work/root"
        grep -q "$words" <(zcat "$work/root/usr/share/man/man1/tavrik.1.gz" | flat) || fail "tavrik(1) lacks: $words"
        grep -q "$words" <(field Description | flat) || fail "the package's description lacks: $words"
        grep -q "$words" <(flat < "$work/root/usr/share/metainfo/org.tavrik.Tavrik.metainfo.xml") \
            || fail "the AppStream metadata lacks: $words"
    fi
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort > "$work/files"
    expected_files | sort > "$work/expected"
    diff -u "$work/expected" "$work/files" >&2 || fail "the package's files are not the expected ones (- missing, + extra)"
    dpkg-deb -c "$deb" | awk '$2 != "root/root" {print "owned by " $2 ": " $6}' | grep . >&2 \
        && fail "files not owned by root"
    ;;

reproducible)
    # The same sources built again in another folder, with the first build's
    # SOURCE_DATE_EPOCH: the same bytes. The copy and its build folder stay,
    # so that a later run only rebuilds what changed.
    deb_file
    git -C "$source" rev-parse --git-dir >/dev/null 2>&1 || { echo "not a git checkout: the sources are unknown"; exit 77; }
    [ -f "$build/source-date-epoch" ] || { echo "no $build/source-date-epoch: build with tools/package.sh" >&2; exit 1; }
    copy=$build/reproducible
    mkdir -p "$copy"
    (cd "$source" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) \
        | tar -xf - -C "$copy" || { fail "copying the sources"; exit 1; }
    SOURCE_DATE_EPOCH=$(cat "$build/source-date-epoch") "$copy/tools/package.sh" deb > "$work/out" 2>&1 \
        || { cat "$work/out"; fail "the second build failed"; exit 1; }
    second=$(ls "$copy"/build-package/tavrik_*.deb)
    sha256sum "$deb" "$second"
    if ! cmp "$deb" "$second"; then
        fail "two builds of the same sources differ"
        for member in debian-binary control.tar.gz data.tar.xz; do
            cmp -s <(ar p "$deb" $member) <(ar p "$second" $member) || echo "differs: $member" >&2
        done
        diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$second") >&2
    fi
    ;;

lintian)
    deb_file
    lintian --version
    lintian "$deb" > "$work/out" 2>&1
    status=$?
    cat "$work/out"
    [ $status -eq 0 ] || fail "lintian exited with $status"
    grep -E '^[EW]: ' "$work/out" >/dev/null && fail "lintian reports errors or warnings"
    echo "lintian: $(grep -c '^[EWIP]: ' "$work/out") tags shown, overrides in use:"
    lintian --show-overrides "$deb" 2>&1 | grep '^O: ' || true
    ;;

desktop)
    unpack
    for p in "${programs[@]}"; do
        entry=$root/usr/share/applications/$p.desktop
        desktop-file-validate "$entry" || fail "$p.desktop does not validate"
        exec=$(desktop_key "$entry" Exec)
        [ -x "$root/usr/bin/${exec%% *}" ] || fail "$p.desktop: Exec=$exec is not a program of the package"
        icon=$(desktop_key "$entry" Icon)
        [ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "$p.desktop: Icon=$icon has no 48 px image"
        [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "$p.desktop: Icon=$icon has no SVG"
        [[ ";$(desktop_key "$entry" Categories)" == *";AudioVideo;"* ]] || fail "$p.desktop is not under AudioVideo"
    done
    ;;

appstream)
    unpack
    metainfo=$root/usr/share/metainfo/org.tavrik.Tavrik.metainfo.xml
    appstreamcli validate --no-net "$metainfo" || fail "the AppStream metadata does not validate"
    grep -q "<release version=\"$version\" date=\"[0-9-]*\"" "$metainfo" || fail "no release $version in the metadata"
    grep -q '<screenshot type="default">' "$metainfo" || fail "no default screenshot in the metadata"
    for id in $(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo"); do
        [ -f "$root/usr/share/applications/$id" ] || fail "launchable $id is not in the package"
    done
    for p in "${programs[@]}"; do
        grep -q "<launchable type=\"desktop-id\">$p.desktop</launchable>" "$metainfo" || fail "$p.desktop is no launchable"
    done
    ;;

manpages)
    unpack
    for p in "${programs[@]}"; do
        page=$root/usr/share/man/man1/$p.1.gz
        [ -f "$page" ] || { fail "no manual page for $p"; continue; }
        zcat "$page" > "$work/$p.1"
        groff -ww -z -man "$work/$p.1" > "$work/groff" 2>&1
        [ -s "$work/groff" ] && { cat "$work/groff"; fail "groff -ww warns about $p.1"; }
        LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$work/$p.1" \
            2> "$work/man" > /dev/null
        [ -s "$work/man" ] && { cat "$work/man"; fail "man --warnings warns about $p.1"; }
        grep -q "^\.TH .* \"Tavrik $version\"" "$work/$p.1" || fail "$p.1 does not name version $version"
    done
    grep -q 'WM_DVB_PROGRAM_CHANGED' "$work/tavrik-sim.1" || fail "tavrik-sim.1 lacks the refresh broadcast"
    if [ -f "$work/tavrik.1" ]; then
        for topic in 'Error on \\%DVB_OpenBoard' '^\.B 13\b' '^\.B 4099$' '^\.B 4100$' '^\.B 16$' '^\.SH THE VIDEO GROUP' 'kSym/s' 'kHz'; do
            grep -q "$topic" "$work/tavrik.1" || fail "tavrik.1 lacks '$topic'"
        done
    fi
    ;;

install)
    [ "$(id -u)" -eq 0 ] || { echo "package_install needs root: skipped"; exit 77; }
    deb_file
    export DEBIAN_FRONTEND=noninteractive
    apt=(apt-get -o DPkg::Lock::Timeout=600 -q -y)
    # It purges what it installed: a tavrik installed before is someone's, leave it.
    if [ -n "$(dpkg-query -W -f='${Version}' tavrik 2>/dev/null)" ]; then
        echo "tavrik is already installed here; package_install leaves it alone: skipped"
        exit 77
    fi
    chmod 755 "$work" && cp "$deb" "$work/" && chmod 644 "$work"/*.deb   # apt's sandbox user reads it
    "${apt[@]}" install --no-install-recommends "$work/$(basename "$deb")" > "$work/apt" 2>&1 \
        || { cat "$work/apt"; fail "apt-get install failed"; exit 1; }
    sed -n '/^The following NEW packages/,/^[^ ]/p' "$work/apt" | sed 1d | grep '^ ' | tr ' ' '\n' | grep . > "$work/new" || true
    echo "apt-get installed: $(tr '\n' ' ' < "$work/new")"
    grep -- '-dev$' "$work/new" && fail "installing pulled development packages"
    dpkg-query -W -f='${db:Status-Status}' tavrik | grep -qx installed || fail "tavrik is not installed"

    # Every file it lists is there, and every file of ours in the system's
    # places is the package's.
    dpkg -L tavrik > "$work/list"
    while read -r f; do
        [ -e "$f" ] || fail "$f is listed but missing"
    done < "$work/list"
    find /usr/bin /usr/share/applications /usr/share/icons/hicolor /usr/share/metainfo \
         /usr/share/man/man1 /usr/share/doc/tavrik /usr/share/lintian/overrides \
         \( -name 'tavrik*' -o -name 'org.tavrik.*' -o -path '/usr/share/doc/tavrik/*' \) ! -type d \
         > "$work/ours" 2>/dev/null
    while read -r f; do
        grep -qx "$f" "$work/list" || fail "$f is not the package's"
    done < "$work/ours"
    [ -s "$work/ours" ] || fail "found none of the package's files"
    ldd /usr/bin/tavrik-sim /usr/bin/tavrik 2>/dev/null | grep 'not found' && fail "a shared library is missing"

    # Start each installed program as its menu entry does, on Qt's minimal
    # platform, which writes every painted frame to outputNNNN.png, and see
    # it paint its window.
    for p in "${programs[@]}"; do
        exec=$(desktop_key "/usr/share/applications/$p.desktop" Exec)
        run=$work/run-$p
        mkdir -p "$run/xdg" && chmod 700 "$run/xdg"
        (cd "$run" && exec env -i PATH=/usr/bin:/bin HOME="$run" XDG_RUNTIME_DIR="$run/xdg" \
             QT_QPA_PLATFORM=minimal QT_DEBUG_BACKINGSTORE=1 timeout 60 $exec > "$run/log" 2>&1) &
        pid=$!
        best=""
        for _ in $(seq 1 100); do
            sleep 0.2
            for png in "$run"/output*.png; do
                [ -s "$png" ] || continue
                read -r w h colours < <(python3 "$here/png_info.py" "$png" 2>/dev/null) || continue
                if [ "$w" -ge 150 ] && [ "$h" -ge 80 ] && [ "$colours" -ge 16 ]; then best="$png ${w}x$h, $colours colours"; fi
            done
            [ -n "$best" ] && break
            kill -0 $pid 2>/dev/null || break
        done
        kill $pid 2>/dev/null; wait $pid 2>/dev/null
        if [ -n "$best" ]; then
            echo "$p (Exec=$exec) painted: $best"
            cp "${best%% *}" "$build/painted-$p.png"
        else
            cat "$run/log"; fail "$p (Exec=$exec) painted no window"
        fi
    done
    # The icon a menu shows at 48 px: the entry's Icon in the hicolor theme.
    icon=$(desktop_key /usr/share/applications/tavrik-sim.desktop Icon)
    cp "/usr/share/icons/hicolor/48x48/apps/$icon.png" "$build/menu-icon-48.png" || fail "no 48 px icon '$icon'"
    echo "menu icon at 48 px: $build/menu-icon-48.png"

    "${apt[@]}" purge tavrik > "$work/apt" 2>&1 || { cat "$work/apt"; fail "apt-get purge failed"; }
    dpkg-query -W -f='${db:Status-Status}' tavrik 2>/dev/null | grep -q . \
        && [ "$(dpkg-query -W -f='${db:Status-Status}' tavrik)" != not-installed ] && fail "tavrik is still known to dpkg"
    while read -r f; do
        [ -d "$f" ] && continue   # shared directories stay
        [ -e "$f" ] && fail "$f is left after purge"
    done < "$work/list"
    [ -e /usr/share/doc/tavrik ] && fail "/usr/share/doc/tavrik is left after purge"
    find /usr/bin /usr/share/applications /usr/share/icons/hicolor /usr/share/metainfo /usr/share/man/man1 \
         /usr/share/lintian/overrides \( -name 'tavrik*' -o -name 'org.tavrik.*' \) 2>/dev/null | grep . \
        && fail "files are left after purge"
    ;;

*)
    echo "check.sh: unknown command '$command'" >&2
    exit 2
    ;;
esac

[ $failed -eq 0 ] && echo "package_$command: passed"
exit $failed
