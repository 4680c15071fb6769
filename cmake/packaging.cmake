# Install rules, and the packages CPack makes of them: on Linux a Debian
# package of the front end, on Windows a zip of both programs.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "the korvane developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bring a folder up to date with another, by rules")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(KORVANE_MAINTAINER "the korvane developers <korvane@korvane.example>"
    CACHE STRING "Maintainer named in the Debian package")

if(WIN32)
  # The zip: both programs (linked statically), the README and the licence as
  # Windows text. A zip needs the programs only, not the test suites that
  # "all" holds here, so installing builds nothing.
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
  foreach(text README.md LICENSE)
    get_filename_component(name ${text} NAME_WE)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.txt
      COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/${text} -DOUTPUT=${CMAKE_BINARY_DIR}/${name}.txt
              -P ${CMAKE_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${CMAKE_SOURCE_DIR}/${text} ${CMAKE_SOURCE_DIR}/cmake/crlf.cmake VERBATIM)
    list(APPEND KORVANE_WINDOWS_TEXTS ${CMAKE_BINARY_DIR}/${name}.txt)
  endforeach()
  add_custom_target(korvane_windows_texts ALL DEPENDS ${KORVANE_WINDOWS_TEXTS})
  foreach(program korvane korvaneui)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
      add_dependencies(${program} korvane_windows_texts)
    endif()
  endforeach()
  install(FILES ${KORVANE_WINDOWS_TEXTS} DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME korvane-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
elseif(TARGET korvane_manual_pages)
  install(TARGETS korvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (cpack, --strip) drops the compilers' notes too, as
  # Debian's own packages do.
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/korvane\")
  endif()")
  install(FILES ${CMAKE_BINARY_DIR}/korvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/korvane.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME korvane)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # In the Debian package the copyright file carries the licence instead.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)

  # What Debian asks of a package beside that: the licence in its copyright
  # format, the changelog compressed. Installed into the package only.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE KORVANE_LICENSE_TEXT)
  string(STRIP "${KORVANE_LICENSE_TEXT}" KORVANE_LICENSE_TEXT)
  string(REGEX REPLACE "\n\n" "\n.\n" KORVANE_LICENSE_TEXT "${KORVANE_LICENSE_TEXT}")
  string(REGEX REPLACE "\n" "\n " KORVANE_LICENSE_TEXT "${KORVANE_LICENSE_TEXT}")
  configure_file(packaging/copyright.in ${CMAKE_BINARY_DIR}/debian/copyright @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/debian/changelog
    COMMAND ${KORVANE_GZIP} -9nf ${CMAKE_BINARY_DIR}/debian/changelog
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(korvane_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR DEB)
  # One package of the chosen components: everything but the licence file.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Unspecified debian)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVANE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "korvane brings a To folder up to date with a From folder: it copies what
is missing or differs (files by modification time and size). A regular
expression includes or excludes paths; --sync mirrors by deleting what the
From folder lacks; -f copies only the paths named in a list file. Every run
can write a log. Its Windows twin is a one-window program over the same
engine.")
endif()

include(CPack)
