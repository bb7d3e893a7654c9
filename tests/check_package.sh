#!/usr/bin/env bash
# Builds the Debian package from the build folder with CPack and checks it:
# its name, its files, the dependencies that no library link reveals, and
# lintian with no error. Every lintian warning must be explained in the
# README's packaging notes, by its tag.
# Arguments: cpack, the build folder, the application id, the version, the README.
# Exits 77 (skipped) where dpkg-deb or lintian is missing.
set -uo pipefail
cpack=$1 build=$2 id=$3 version=$4 readme=$5

for tool in dpkg-deb lintian; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed, so the Debian package is not checked" \
             "(scripts/setup.sh installs it)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

deb=$work/norvanta_${version}_$(dpkg --print-architecture).deb
log=$(cd "$build" && "$cpack" -G DEB -B "$work" 2>&1)
[ $? -eq 0 ] && [ -f "$deb" ]
check $? "cpack -G DEB writes $(basename "$deb")" "$log"
if [ ! -f "$deb" ]; then
    echo "$passed passed, $failed failed"
    exit 1
fi

expected=$(printf '%s\n' usr/bin/norvanta "usr/share/applications/$id.desktop" \
    "usr/share/icons/hicolor/scalable/apps/$id.svg" "usr/share/metainfo/$id.metainfo.xml" \
    usr/share/doc/norvanta/copyright usr/share/doc/norvanta/changelog.gz | sort)
contents=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort)
[ "$contents" = "$expected" ]
check $? "the package holds the installed files and Debian's documentation, nothing else" \
    "$(diff <(echo "$expected") <(echo "$contents"))"

depends=$(dpkg-deb --field "$deb" Depends)
grep -q 'libqt6widgets6' <<<"$depends" && grep -q 'libqt6svg6' <<<"$depends" \
    && grep -qF 'fonts-wqy-microhei | fonts-noto-cjk' <<<"$depends"
check $? "it depends on the linked Qt libraries, the SVG icon plugin and a CJK font" \
    "Depends: $depends"

report=$(lintian "$deb" 2>/dev/null)
echo "lintian says:"
printf '%s\n' "${report:-(nothing)}" | sed 's/^/    /'
! grep -q '^E:' <<<"$report"
check $? "lintian reports no error" "$(grep '^E:' <<<"$report")"

unexplained=
for tag in $(awk '/^W:/ { print $3 }' <<<"$report" | sort -u); do
    grep -qF "\`$tag\`" "$readme" || unexplained+="$tag "
done
[ -z "$unexplained" ]
check $? "each lintian warning is explained in the README's packaging notes" \
    "not explained: $unexplained"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
