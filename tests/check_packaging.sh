#!/usr/bin/env bash
# What a desktop and Debian get from the build.
#   install: `cmake --install` into a temporary prefix gives exactly the program,
#     its menu entry, icon and AppStream metadata, both files pass their
#     validators, and the installed program starts.
#   package: `cpack -G DEB` writes the package with those files and Debian's
#     documentation, the run-time dependencies that no link reveals, no lintian
#     error, and each lintian warning explained, by its tag, in the README.
#     Exits 77 (skipped) where dpkg-deb or lintian is missing.
# Arguments: install|package, cmake|cpack, the build folder, the application id,
# then the dialog answerer to preload (install) or the version and README (package).
set -uo pipefail
mode=$1 tool=$2 build=$3 id=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() { # status description [details shown on failure]
    if [ "$1" -eq 0 ]; then
        echo "PASS: $2" && passed=$((passed + 1))
    else
        echo "FAIL: $2" && failed=$((failed + 1))
        [ -z "${3:-}" ] || printf '%s\n' "$3" | sed 's/^/    /'
    fi
}
files() { # the expected files under a prefix
    printf "$1%s\n" bin/norvanta "share/applications/$id.desktop" \
        "share/icons/hicolor/scalable/apps/$id.svg" "share/metainfo/$id.metainfo.xml" "${@:2}" | sort
}

if [ "$mode" = install ]; then
    answerer=$5
    log=$("$tool" --install "$build" --prefix "$work" 2>&1)
    check $? "cmake --install succeeds" "$log"

    installed=$(cd "$work" && find . ! -type d | sed 's|^\./||' | sort)
    [ "$installed" = "$(files '')" ]
    check $? "exactly the program, its desktop entry, icon and metadata are installed" "$installed"

    report=$(desktop-file-validate "$work/share/applications/$id.desktop" 2>&1)
    [ $? -eq 0 ] && [ -z "$report" ]
    check $? "desktop-file-validate reports nothing on the desktop entry" "$report"
    # --strict fails on warnings and infos too; only pedantic hints pass.
    report=$(appstreamcli validate --no-net --strict "$work/share/metainfo/$id.metainfo.xml" 2>&1)
    check $? "appstreamcli validates the metadata with no error or warning" "$report"

    report=$(QT_QPA_PLATFORM=offscreen LD_PRELOAD="$answerer" timeout 60 "$work/bin/norvanta" 2>&1)
    status=$?
    [ $status -eq 0 ] && grep -qx 'answered box: 警告: 未指定保存路径，程序即将退出' <<<"$report"
    check $? "the installed program asks for its file and exits 0 when refused" \
        "exit status $status; $report"
else
    version=$5 readme=$6
    for needed in dpkg-deb lintian; do
        if ! command -v "$needed" >/dev/null; then
            echo "SKIP: $needed is not installed, so the Debian package is not checked" \
                 "(scripts/setup.sh installs it)"
            exit 77
        fi
    done
    deb=$work/norvanta_${version}_$(dpkg --print-architecture).deb
    log=$(cd "$build" && "$tool" -G DEB -B "$work" 2>&1)
    [ -f "$deb" ]
    check $? "cpack -G DEB writes $(basename "$deb")" "$log"

    contents=$(dpkg-deb --contents "$deb" 2>&1 | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
    [ "$contents" = "$(files usr/ share/doc/norvanta/copyright share/doc/norvanta/changelog.gz)" ]
    check $? "the package holds the installed files and Debian's documentation, nothing else" \
        "$contents"

    depends=$(dpkg-deb --field "$deb" Depends 2>&1)
    grep -q 'libqt6widgets6' <<<"$depends" && grep -q 'libqt6svg6' <<<"$depends" \
        && grep -q 'qt6-translations-l10n' <<<"$depends" \
        && grep -qF 'fonts-wqy-microhei | fonts-noto-cjk' <<<"$depends"
    check $? "it depends on the linked Qt libraries, the SVG icon plugin, Qt's translations and a CJK font" \
        "$depends"

    report=$(lintian "$deb" 2>/dev/null)
    printf 'lintian says:\n%s\n' "${report:-(nothing)}"
    ! grep -q '^E:' <<<"$report"
    check $? "lintian reports no error"
    unexplained=
    for tag in $(awk '/^W:/ { print $3 }' <<<"$report" | sort -u); do
        grep -qF "\`$tag\`" "$readme" || unexplained+="$tag "
    done
    [ -z "$unexplained" ]
    check $? "each lintian warning is explained in the README's packaging notes" "$unexplained"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
