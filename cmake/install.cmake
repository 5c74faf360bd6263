# What `cmake --install` puts where, and the packages `cpack` makes of it:
# on Linux a Debian package (DEB), on Windows a zip (ZIP). The demo programs
# and the test programs are never installed.
#
# Linux, under the install prefix (/usr for the package, /usr/local by
# default for `cmake --install`):
#   bin/                         kbupdate, keyboard-update-tool (and the station
#                                window where it is built)
#   lib/udev/rules.d/            70-kbupdate.rules, the keyboard's access rule
#   share/applications/          desktop entries (a .hex file as argument)
#   share/icons/hicolor/         the icon in several sizes
#   share/mime/packages/         the Intel HEX file type, for "Open with"
#   share/man/man1/              kbupdate(1), keyboard-update-tool(1), made by
#                                help2man from the programs' own help
#   share/bash-completion/completions/kbupdate
#   share/doc/keyboard-update-tool/  copyright, changelog
include(GNUInstallDirs)

set(kb_pkg_dir ${CMAKE_SOURCE_DIR}/packaging)
set(kb_pkg_name keyboard-update-tool)
set(CPACK_PACKAGE_NAME ${kb_pkg_name})
set(CPACK_PACKAGE_VENDOR "the Keyboard Update Tool authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "put new firmware onto a USB keyboard controller")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # One folder to unpack anywhere: the update window, the station window,
  # kbupdate, a short README and the licence, with Windows line ends so that
  # Notepad shows them as written.
  foreach(program KeyboardUpdateTool KeyboardUpdateStation kbupdate)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  configure_file(${kb_pkg_dir}/windows/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt
                 @ONLY NEWLINE_STYLE WIN32)
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt
                 COPYONLY)
  file(READ ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt kb_licence)
  string(REPLACE "\r\n" "\n" kb_licence "${kb_licence}")
  string(REPLACE "\n" "\r\n" kb_licence "${kb_licence}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt "${kb_licence}")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt
          DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(kb_win_flavour win64)
  else()
    set(kb_win_flavour win32)
  endif()
  set(CPACK_PACKAGE_FILE_NAME KeyboardUpdateTool-${PROJECT_VERSION}-${kb_win_flavour})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

# --- Linux -----------------------------------------------------------------

foreach(program kbupdate keyboard-update-tool keyboard-update-station)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(EXISTS ${CMAKE_SOURCE_DIR}/res/linux/${program}.desktop)
      install(FILES ${CMAKE_SOURCE_DIR}/res/linux/${program}.desktop
              DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    endif()
  endif()
endforeach()

# udev reads lib/udev/rules.d below /usr and /usr/local alike; GNUInstallDirs'
# libdir would put a multiarch triplet in between.
install(FILES ${CMAKE_SOURCE_DIR}/res/udev/70-kbupdate.rules DESTINATION lib/udev/rules.d)

if(TARGET keyboard-update-tool OR TARGET keyboard-update-station)
  set(kb_icons ${CMAKE_SOURCE_DIR}/res/linux)
  foreach(size 16 22 24 32 48 64 128)
    install(FILES ${kb_icons}/icons/keyboard-update-tool-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME keyboard-update-tool.png)
  endforeach()
  install(FILES ${kb_icons}/keyboard-update-tool.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
  install(FILES ${kb_icons}/keyboard-update-tool.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${kb_pkg_dir}/linux/keyboard-update-tool-mime.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages RENAME keyboard-update-tool.xml)
endif()

if(TARGET kbupdate)
  install(FILES ${kb_pkg_dir}/linux/kbupdate.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kbupdate)
endif()

# Man pages from the programs' own --help and --version, so that they say
# what the programs say; the sections on device access and files are written
# by hand. Made with the build (they need the built programs), compressed as
# Debian wants them.
find_program(KB_HELP2MAN help2man)
find_program(KB_GZIP gzip)
set(kb_man_dir ${CMAKE_BINARY_DIR}/packaging/man)
set(kb_man_pages "")
if(NOT CMAKE_CROSSCOMPILING AND KB_HELP2MAN AND KB_GZIP)
  # help2man reads a synopsis after "Usage:" with further forms after "or:".
  if(TARGET kbupdate)
    file(GENERATE OUTPUT ${kb_man_dir}/bin/kbupdate
         CONTENT "#!/bin/sh\n\"$<TARGET_FILE:kbupdate>\" \"$@\" | sed '1s/^usage:/Usage:/; 2,/^$/s/^       \\(kbupdate \\)/  or:  \\1/'\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
    add_custom_command(
      OUTPUT ${kb_man_dir}/kbupdate.1.gz
      COMMAND ${CMAKE_COMMAND} -DKBUPDATE=$<TARGET_FILE:kbupdate> -DOUTPUT=${kb_man_dir}/verbs.h2m
              -P ${kb_pkg_dir}/linux/man-verbs.cmake
      COMMAND ${KB_HELP2MAN} --no-info --section 1
              --name "put new firmware onto the keyboard controller (command line)"
              --include ${kb_man_dir}/verbs.h2m
              --include ${kb_pkg_dir}/linux/device-access.h2m
              --include ${kb_pkg_dir}/linux/kbupdate.h2m
              --output ${kb_man_dir}/kbupdate.1 ${kb_man_dir}/bin/kbupdate
      COMMAND ${KB_GZIP} -9nf ${kb_man_dir}/kbupdate.1
      DEPENDS kbupdate ${kb_pkg_dir}/linux/man-verbs.cmake ${kb_pkg_dir}/linux/device-access.h2m
              ${kb_pkg_dir}/linux/kbupdate.h2m
      COMMENT "Man page kbupdate(1)"
      VERBATIM)
    list(APPEND kb_man_pages ${kb_man_dir}/kbupdate.1.gz)
  endif()
  set(kb_man_name_keyboard-update-tool "put new firmware onto the keyboard controller (dialog)")
  set(kb_man_name_keyboard-update-station "update every keyboard plugged in (station window)")
  foreach(program keyboard-update-tool keyboard-update-station)
    if(TARGET ${program})
      set(kb_include "")
      set(kb_include_file "")
      if(EXISTS ${kb_pkg_dir}/linux/${program}.h2m)
        set(kb_include_file ${kb_pkg_dir}/linux/${program}.h2m)
        set(kb_include --include ${kb_include_file})
      endif()
      # --help and --version need no display; offscreen in case a window
      # program's start-up loads Qt's platform plug-in before it reads them.
      add_custom_command(
        OUTPUT ${kb_man_dir}/${program}.1.gz
        COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                ${KB_HELP2MAN} --no-info --section 1
                --name "${kb_man_name_${program}}"
                --include ${kb_pkg_dir}/linux/device-access.h2m ${kb_include}
                --output ${kb_man_dir}/${program}.1 $<TARGET_FILE:${program}>
        COMMAND ${KB_GZIP} -9nf ${kb_man_dir}/${program}.1
        DEPENDS ${program} ${kb_pkg_dir}/linux/device-access.h2m ${kb_include_file}
        COMMENT "Man page ${program}(1)"
        VERBATIM)
      list(APPEND kb_man_pages ${kb_man_dir}/${program}.1.gz)
    endif()
  endforeach()
  add_custom_target(kb_man_pages ALL DEPENDS ${kb_man_pages})
  install(FILES ${kb_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(NOT CMAKE_CROSSCOMPILING)
  message(STATUS "install: no help2man, so no man pages (tools/setup.sh all installs it)")
endif()

# The package's own documents: the licence in Debian's copyright format and
# the changelog, compressed.
set(kb_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${kb_pkg_name})
file(READ ${CMAKE_SOURCE_DIR}/LICENSE kb_licence)
string(REGEX REPLACE "\n+$" "" kb_licence "${kb_licence}")
string(REGEX REPLACE "\n\n" "\n.\n" kb_licence "${kb_licence}")
string(REPLACE "\n" "\n " kb_licence " ${kb_licence}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: ${kb_pkg_name}\n"
     "\n"
     "Files: *\n"
     "Copyright: 2026 the Keyboard Update Tool authors\n"
     "License: Expat\n"
     "${kb_licence}\n")
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright DESTINATION ${kb_doc_dir})
if(KB_GZIP)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${kb_pkg_dir}/linux/changelog ${CMAKE_BINARY_DIR}/packaging/
    COMMAND ${KB_GZIP} -9nf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${kb_pkg_dir}/linux/changelog
    COMMENT "Package changelog"
    VERBATIM)
  add_custom_target(kb_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${kb_doc_dir})
endif()

# The Debian package: dependencies from the binaries' libraries
# (dpkg-shlibdeps) and libpq's, a font with the dialog's full-width "！"
# recommended, maintainer scripts that apply and withdraw the access rule.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME ${kb_pkg_name})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Keyboard Update Tool authors <kbupdate@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libpq is opened at run time (station/pg_loader.cpp), out of
# dpkg-shlibdeps' sight; 9.3 brought PQconninfo, the newest call it forwards.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpq5 (>= 9.3~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-wqy-microhei)
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "The update dialog (keyboard-update-tool) and its command-line companion\n"
       "(kbupdate) convert an Intel HEX firmware file, switch the keyboard into its\n"
       "update mode, write the firmware over HID feature reports, read it back for\n"
       "comparison and report PASS or FAIL. A udev rule gives the user at the\n"
       "machine's seat access to the keyboard in update mode.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kb_pkg_dir}/linux/postinst ${kb_pkg_dir}/linux/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
