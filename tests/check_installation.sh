#!/usr/bin/env bash
# Installs the build into a temporary prefix, as a person or a distribution
# would, and checks what the desktop gets: exactly the program, its menu entry,
# its icon and its AppStream metadata; both files valid by the freedesktop.org
# validators; and an installed program that starts.
# Arguments: cmake, the build folder, the application id, the dialog answerer
# to preload into the installed program.
set -uo pipefail
cmake=$1 build=$2 id=$3 answerer=$4

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
passed=0 failed=0
check() { # condition-status description [details]
    if [ "$1" -eq 0 ]; then
        echo "PASS: $2"
        passed=$((passed + 1))
    else
        echo "FAIL: $2"
        [ -z "${3:-}" ] || printf '%s\n' "$3" | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}

log=$("$cmake" --install "$build" --prefix "$prefix" 2>&1)
check $? "cmake --install succeeds" "$log"

expected=$(printf '%s\n' bin/norvanta "share/applications/$id.desktop" \
    "share/icons/hicolor/scalable/apps/$id.svg" "share/metainfo/$id.metainfo.xml" | sort)
installed=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
[ "$installed" = "$expected" ]
check $? "exactly the program, its desktop entry, icon and metadata are installed" \
    "$(diff <(echo "$expected") <(echo "$installed"))"

report=$(desktop-file-validate "$prefix/share/applications/$id.desktop" 2>&1)
[ $? -eq 0 ] && [ -z "$report" ]
check $? "desktop-file-validate reports nothing on the desktop entry" "$report"

# --strict fails on warnings and infos too; only pedantic hints pass.
report=$(appstreamcli validate --no-net --strict "$prefix/share/metainfo/$id.metainfo.xml" 2>&1)
check $? "appstreamcli validates the metadata with no error or warning" "$report"

report=$(QT_QPA_PLATFORM=offscreen LD_PRELOAD="$answerer" timeout 60 "$prefix/bin/norvanta" 2>&1)
status=$?
[ $status -eq 0 ] && grep -qx 'answered box: 警告: 未指定保存路径，程序即将退出' <<<"$report" \
    && grep -qx 'answered 1 file dialog(s)' <<<"$report"
check $? "the installed program asks for its file and exits 0 when refused" \
    "exit status $status; $report"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
