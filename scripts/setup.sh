#!/usr/bin/env bash
# Installs what the build needs on Debian or Ubuntu, then configures and
# builds into build/. Used by run.sh, test.sh and CI.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make qt6-base-dev fonts-wqy-microhei
    # the SVG plugin draws the program's icon; the toolkit's own texts in Chinese
    libqt6svg6 qt6-translations-l10n
    # a team's dataset: Qt's PostgreSQL driver, libpq's headers (to cancel a
    # statement, and an import's COPY), and the server the tests start
    libqt6sql6-psql postgresql libpq-dev
    # the team's classifier: OpenCV's DNN module runs it, a file's predictions
    # are kept in SQLite; the tests make tiny models with Python's onnx
    libopencv-dnn-dev libqt6sql6-sqlite python3-onnx python3-numpy
    # it learns from the team's labels with liblinear's logistic regression
    liblinear-dev
    # validators and package tools that the packaging tests run
    desktop-file-utils appstream dpkg-dev file lintian
    # the save tests make a small ext4 file system that keeps whole seconds
    e2fsprogs)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$package")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
