# How the program meets a Linux desktop: the id, name, version and icon it
# gives itself at run time, the files `cmake --install` puts under the prefix,
# and the Debian package that CPack builds from those same install rules.
include(GNUInstallDirs)

# One id for the desktop entry, the icon, the AppStream component and the
# running program, so that the desktop can pair a window with its menu entry.
set(NORVANTA_APP_ID org.norvanta.Norvanta)
set(NORVANTA_LICENSE MIT)
set(NORVANTA_RELEASE_DATE 2026-12-07)
set(NORVANTA_RELEASE_DATE_RFC2822 "Mon, 07 Dec 2026 00:00:00 +0000")
set(NORVANTA_PACKAGE_MAINTAINER "Norvanta developers <norvanta@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)

# The program's identity and its icon, compiled in; linked by the program and
# by the test that runs the program's entry.
add_library(norvantaidentity OBJECT ${packaging_dir}/icon.qrc)
set_target_properties(norvantaidentity PROPERTIES AUTORCC ON)
target_link_libraries(norvantaidentity PUBLIC Qt6::Core)
target_compile_definitions(norvantaidentity PUBLIC
    NORVANTA_APP_ID="${NORVANTA_APP_ID}"
    NORVANTA_NAME="${PROJECT_NAME}"
    NORVANTA_VERSION="${PROJECT_VERSION}")
target_link_libraries(norvanta PRIVATE norvantaidentity)
# The settings the program keeps between runs are filed under the same id.
set_property(SOURCE ${PROJECT_SOURCE_DIR}/src/workbench/remembered.cpp APPEND PROPERTY
    COMPILE_DEFINITIONS NORVANTA_APP_ID="${NORVANTA_APP_ID}")

configure_file(${packaging_dir}/${NORVANTA_APP_ID}.metainfo.xml.in
    ${packaging_out}/${NORVANTA_APP_ID}.metainfo.xml @ONLY)

install(TARGETS norvanta RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${packaging_dir}/${NORVANTA_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging_dir}/${NORVANTA_APP_ID}.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${packaging_out}/${NORVANTA_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Debian wants a copyright file and a compressed changelog in the package's
# documentation folder. They belong to the package only, so a plain
# `cmake --install` leaves them out; CPack installs their component as well.
configure_file(${packaging_dir}/changelog.in ${packaging_out}/changelog @ONLY)
find_program(GZIP_EXECUTABLE gzip)
if(GZIP_EXECUTABLE)
    # -n leaves the name and time out of the header, so the package is reproducible.
    execute_process(COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${packaging_out}/changelog
        OUTPUT_FILE ${packaging_out}/changelog.gz)
endif()
install(FILES ${packaging_dir}/copyright ${packaging_out}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Norvanta developers")
set(CPACK_PACKAGE_CONTACT "${NORVANTA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "image annotation tool for defect labels")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NORVANTA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the program loads at run time, which no library link reveals: the SVG
# icon engine plugin for its icon, the PostgreSQL driver plugin for a team's
# dataset, the toolkit's Chinese catalogue for the texts of its standard
# dialogs, and a font with glyphs for its Chinese texts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6svg6, libqt6sql6-psql, qt6-translations-l10n, fonts-wqy-microhei | fonts-noto-cjk")
# CPack puts the summary above it as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Norvanta labels still images with defect categories. You name one annotation
file, open a folder of PNG, JPEG and BMP images, step through them and give
each image any of 19 fixed defect labels by clicking buttons. The labels are
saved as one row of 1/0 flags per image in a plain comma-separated text file.")

include(CPack)
