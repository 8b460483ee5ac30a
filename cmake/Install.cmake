# Installation the Debian way and the Debian package.
#
# `cmake --install` (CMAKE_INSTALL_PREFIX, DESTDIR) puts the programs in bin/,
# a manual page for each in share/man/man1, the desktop entry, the icon in the
# hicolor theme (SVG and PNG sizes), the AppStream metadata, and the README,
# copyright file and changelog in share/doc/zantu-console.  Test programs,
# benchmarks and fuzz targets are never installed.  CPack's DEB generator makes
# build/zantu-console_<version>_<arch>.deb from the same rules
# (scripts/package.sh).
include(GNUInstallDirs)

set(ZANTU_PACKAGE zantu-console)
set(ZANTU_APP_ID example.c_seed_246c7533.zantu_console)
set(ZANTU_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(ZANTU_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZANTU_PACKAGE})
set(ZANTU_ICON_SVG ${CMAKE_SOURCE_DIR}/resources/zantu-icon.svg)
set(ZANTU_ICON_SIZES 16 22 24 32 48 64 128 256)
# Directories made by the install get 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The programs a user runs, each with its manual page in packaging/man.
set(ZANTU_PROGRAMS "")
foreach(program zantu-console zantu-sim zantu-cli)
  if(TARGET ${program})
    list(APPEND ZANTU_PROGRAMS ${program})
  endif()
endforeach()
if(ZANTU_PROGRAMS)
  install(TARGETS ${ZANTU_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Data made at build time: compressed manual pages and changelog, and the
# icon's PNG sizes rendered from its SVG.
set(ZANTU_GENERATED "")
set(ZANTU_GZIP_OUT ${CMAKE_BINARY_DIR}/packaging)
function(zantu_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${source}" VERBATIM)
  set(ZANTU_GENERATED ${ZANTU_GENERATED} ${output} PARENT_SCOPE)
endfunction()
file(MAKE_DIRECTORY ${ZANTU_GZIP_OUT}/man)

foreach(program ${ZANTU_PROGRAMS})
  set(page ${ZANTU_PACKAGING_DIR}/man/${program}.1)
  if(EXISTS ${page})
    zantu_gzip(${page} ${ZANTU_GZIP_OUT}/man/${program}.1.gz)
    install(FILES ${ZANTU_GZIP_OUT}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(WARNING "${program} has no manual page: write packaging/man/${program}.1")
  endif()
endforeach()
zantu_gzip(${ZANTU_PACKAGING_DIR}/changelog ${ZANTU_GZIP_OUT}/changelog.gz)

find_program(ZANTU_RSVG_CONVERT rsvg-convert)
set(ZANTU_ICON_PNGS "")
if(ZANTU_RSVG_CONVERT)
  foreach(size ${ZANTU_ICON_SIZES})
    set(png ${CMAKE_BINARY_DIR}/icons/${size}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons
      COMMAND ${ZANTU_RSVG_CONVERT} --width=${size} --height=${size} --format=png
              --output=${png} ${ZANTU_ICON_SVG}
      DEPENDS ${ZANTU_ICON_SVG}
      COMMENT "Rendering the ${size}x${size} icon" VERBATIM)
    list(APPEND ZANTU_ICON_PNGS ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
      RENAME ${ZANTU_PACKAGE}.png)
  endforeach()
  # One target renders them, so that parallel builds never render twice.
  add_custom_target(zantu_icons DEPENDS ${ZANTU_ICON_PNGS})
  # The window and the About box show the same pictures as the desktop: the
  # Qt library's resources take them (rcc runs after zantu_icons).
  if(TARGET zantu_qt)
    set(qrc_files "")
    foreach(size ${ZANTU_ICON_SIZES})
      string(APPEND qrc_files "    <file alias=\"${size}.png\">${CMAKE_BINARY_DIR}/icons/${size}.png</file>\n")
    endforeach()
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/icons/zantu_icons.qrc
      CONTENT "<RCC>\n  <qresource prefix=\"/icons\">\n${qrc_files}  </qresource>\n</RCC>\n")
    target_sources(zantu_qt PRIVATE ${CMAKE_BINARY_DIR}/icons/zantu_icons.qrc)
    target_compile_definitions(zantu_qt PRIVATE ZANTU_HAVE_ICON_PNGS=1)
    add_dependencies(zantu_qt zantu_icons)
  endif()
else()
  message(WARNING "rsvg-convert (Debian package librsvg2-bin) not found: "
    "the icon is installed as SVG only and the window draws its own")
endif()
add_custom_target(zantu_install_data ALL DEPENDS ${ZANTU_GENERATED})
if(TARGET zantu_icons)
  add_dependencies(zantu_install_data zantu_icons)
endif()

install(FILES ${ZANTU_ICON_SVG} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps
  RENAME ${ZANTU_PACKAGE}.svg)
if(TARGET zantu-console)
  install(FILES ${ZANTU_PACKAGING_DIR}/${ZANTU_PACKAGE}.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${ZANTU_PACKAGING_DIR}/${ZANTU_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${ZANTU_PACKAGING_DIR}/copyright
  ${ZANTU_GZIP_OUT}/changelog.gz DESTINATION ${ZANTU_DOC_DIR})
# The README's pictures, where its links look for them.
file(GLOB ZANTU_README_PICTURES ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${ZANTU_README_PICTURES} DESTINATION ${ZANTU_DOC_DIR}/docs)
if(EXISTS ${ZANTU_PACKAGING_DIR}/lintian-overrides)
  install(FILES ${ZANTU_PACKAGING_DIR}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${ZANTU_PACKAGE})
endif()

# ---- the Debian package ------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZANTU_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Seed 246c7533 maintainers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <name>_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
  "Seed 246c7533 maintainers <maintainers@users.noreply.c-seed-246c7533.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The About item's text holds Hangul: a font that covers it, any of these.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "fonts-nanum | fonts-noto-cjk | fonts-unfonts-core | fonts-baekmuk | fonts-lexi-gulim")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service and test console for ZANTU-100 banknote dispensers")
# The synopsis above comes first; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A technician connects a ZANTU-100 banknote dispenser module to a serial
port and drives it from one tabbed window: dispense, purge, test-dispense
and zigzag batches with per-box counts and reject reasons, sensor status,
opacity, length and box-order settings, sensor diagnosis, diverter,
clutch, BLDC and RVDT tests, firmware download from an Intel HEX file, and
the module's service log saved to a text file.

The package also holds zantu-cli, the same commands from the command line
for test benches and production lines (human or JSON output, exit
statuses), and zantu-sim, a simulated module on a pseudo-terminal, for
trying the console, teaching and testing without a module.")
include(CPack)
