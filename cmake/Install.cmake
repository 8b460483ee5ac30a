# Installation the Debian way and the Debian packages.
#
# `cmake --install` (CMAKE_INSTALL_PREFIX, DESTDIR) puts the programs in bin/,
# a manual page for each in share/man/man1, the desktop entry, the icon in the
# hicolor theme (SVG and PNG sizes), the AppStream metadata, and the README,
# copyright file and changelog in share/doc.  Test programs, benchmarks and
# fuzz targets are never installed.  CPack's DEB generator makes two packages
# from the same rules (scripts/package.sh), one per install component:
#   zantu-tools    zantu-cli and zantu-sim with their manual pages: no Qt, for
#                  a test station without a desktop;
#   zantu-console  the window with its manual page, desktop entry, icon,
#                  AppStream metadata and the README; depends on zantu-tools.
include(GNUInstallDirs)

set(ZANTU_PACKAGE zantu-console)
set(ZANTU_APP_ID example.c_seed_246c7533.zantu_console)
set(ZANTU_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(ZANTU_TOOLS_PACKAGE zantu-tools)
set(ZANTU_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZANTU_PACKAGE})
set(ZANTU_TOOLS_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZANTU_TOOLS_PACKAGE})
set(ZANTU_ICON_SVG ${CMAKE_SOURCE_DIR}/resources/zantu-icon.svg)
set(ZANTU_ICON_SIZES 16 22 24 32 48 64 128 256)
# Directories made by the install get 0755 whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The programs a user runs, each with its manual page in packaging/man, and
# the package (install component) each goes in.
set(ZANTU_PROGRAMS "")
foreach(program zantu-console zantu-sim zantu-cli)
  if(TARGET ${program})
    list(APPEND ZANTU_PROGRAMS ${program})
    if(program STREQUAL "zantu-console")
      set(ZANTU_COMPONENT_${program} console)
    else()
      set(ZANTU_COMPONENT_${program} tools)
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${ZANTU_COMPONENT_${program}})
  endif()
endforeach()

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
    install(FILES ${ZANTU_GZIP_OUT}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT ${ZANTU_COMPONENT_${program}})
  else()
    message(WARNING "${program} has no manual page: write packaging/man/${program}.1")
  endif()
endforeach()
zantu_gzip(${ZANTU_PACKAGING_DIR}/changelog ${ZANTU_GZIP_OUT}/changelog.gz)
# zantu-tools has the same changelog under its own name.
file(READ ${ZANTU_PACKAGING_DIR}/changelog ZANTU_CHANGELOG)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZANTU_PACKAGING_DIR}/changelog)
string(REGEX REPLACE "(^|\n)${ZANTU_PACKAGE} \\(" "\\1${ZANTU_TOOLS_PACKAGE} (" ZANTU_CHANGELOG "${ZANTU_CHANGELOG}")
file(CONFIGURE OUTPUT ${ZANTU_GZIP_OUT}/tools/changelog CONTENT "${ZANTU_CHANGELOG}" @ONLY)
zantu_gzip(${ZANTU_GZIP_OUT}/tools/changelog ${ZANTU_GZIP_OUT}/tools/changelog.gz)

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
      RENAME ${ZANTU_PACKAGE}.png COMPONENT console)
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
  RENAME ${ZANTU_PACKAGE}.svg COMPONENT console)
if(TARGET zantu-console)
  install(FILES ${ZANTU_PACKAGING_DIR}/${ZANTU_PACKAGE}.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT console)
  install(FILES ${ZANTU_PACKAGING_DIR}/${ZANTU_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo COMPONENT console)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${ZANTU_PACKAGING_DIR}/copyright
  ${ZANTU_GZIP_OUT}/changelog.gz DESTINATION ${ZANTU_DOC_DIR} COMPONENT console)
install(FILES ${ZANTU_PACKAGING_DIR}/copyright ${ZANTU_GZIP_OUT}/tools/changelog.gz
  DESTINATION ${ZANTU_TOOLS_DOC_DIR} COMPONENT tools)
# The README's pictures, where its links look for them.
file(GLOB ZANTU_README_PICTURES ${CMAKE_SOURCE_DIR}/docs/*.png)
install(FILES ${ZANTU_README_PICTURES} DESTINATION ${ZANTU_DOC_DIR}/docs COMPONENT console)
foreach(component console tools)
  set(overrides ${ZANTU_PACKAGING_DIR}/lintian-overrides.${component})
  if(EXISTS ${overrides})
    set(name ${ZANTU_PACKAGE})
    if(component STREQUAL "tools")
      set(name ${ZANTU_TOOLS_PACKAGE})
    endif()
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${name}
      COMPONENT ${component})
  endif()
endforeach()

# ---- the Debian packages -----------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools)
if(TARGET zantu-console)
  list(APPEND CPACK_COMPONENTS_ALL console)
endif()
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
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Each package's description begins with its own synopsis line (no common
# CPACK_PACKAGE_DESCRIPTION_SUMMARY, which CPack would put before both).
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ZANTU_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool and simulator for ZANTU-100 banknote dispensers
zantu-cli runs the commands of the ZANTU-100 service console from the
command line, for test benches and production lines: dispense, purge,
test-dispense and zigzag batches, status, settings, sensor diagnosis,
actuator tests, firmware download and the service log, with human or JSON
output and exit statuses.  zantu-sim is a simulated module on a
pseudo-terminal, for trying the tools, teaching and testing without a
module.

Neither needs a desktop: this package pulls in no graphical libraries.
The window is in the package zantu-console.")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME ${ZANTU_PACKAGE})
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "${ZANTU_TOOLS_PACKAGE} (= ${PROJECT_VERSION})")
# The About item's text holds Hangul: a font that covers it, any of these.
set(CPACK_DEBIAN_CONSOLE_PACKAGE_RECOMMENDS
  "fonts-nanum | fonts-noto-cjk | fonts-unfonts-core | fonts-baekmuk | fonts-lexi-gulim")
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION "service and test console for ZANTU-100 banknote dispensers
A technician connects a ZANTU-100 banknote dispenser module to a serial
port and drives it from one tabbed window: dispense, purge, test-dispense
and zigzag batches with per-box counts and reject reasons, a batch record
with a live reject-rate chart, sensor status, opacity, length and
box-order settings, sensor diagnosis, diverter, clutch, BLDC and RVDT
tests, firmware download from an Intel HEX file, and the module's service
log saved to a text file.

The command-line tool and the simulator come with the package zantu-tools.")
include(CPack)
