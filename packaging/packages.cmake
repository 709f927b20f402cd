# The packages a user installs, made by CPack in the build folder: on Linux
# `cpack -G DEB`, the Debian package; in the Windows build `cpack`, a zip and
# an NSIS installer. Here too what they carry beside the install rules of the
# program: the licence, the manual pages, Debian's files.
set(packaging_dir ${CMAKE_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)

set(CPACK_PACKAGE_NAME capture-console)
set(CPACK_PACKAGE_VENDOR "Capture console developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "camera capture console: still frames as BMP, ASCII-art HTML and a console report")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Text files with the Windows line end, so Notepad of any age shows them.
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${packaging_out}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${packaging_dir}/windows/README.txt ${packaging_out}/README.txt @ONLY NEWLINE_STYLE CRLF)
  # The plug-in has libjpeg-turbo in it, whose licences go with it.
  configure_file(${WINDOWS_LIBJPEG_DIR}/LICENSE.txt ${packaging_out}/libjpeg-turbo-LICENSE.txt @ONLY
    NEWLINE_STYLE CRLF)
  install(FILES ${packaging_out}/LICENSE.txt ${packaging_out}/README.txt
    ${packaging_out}/libjpeg-turbo-LICENSE.txt DESTINATION ${PROGRAM_INSTALL_DIR})

  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_RESOURCE_FILE_LICENSE ${packaging_out}/LICENSE.txt)
  # Into Program Files (the 32-bit one on 64-bit Windows), listed under this
  # name among the installed programs.
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "Capture Console")
  set(CPACK_NSIS_DISPLAY_NAME "Capture Console")
  set(CPACK_NSIS_PACKAGE_NAME "Capture Console")
  set(CPACK_NSIS_INSTALLED_ICON_NAME ConsoleExample.exe)
  # The program writes its pictures into the folder it is started in, which
  # a shortcut would make Program Files: the Start menu gets the README,
  # which says how to start it.
  set(CPACK_NSIS_MENU_LINKS README.txt "Capture Console README")
else()
  # Manual pages and the changelog as Debian has them: gzip at its best, with
  # no name or time stamp inside, so every build gives the same bytes.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(gzipped)
  foreach(file IN ITEMS ${CMAKE_SOURCE_DIR}/docs/ConsoleExample.1 ${CMAKE_SOURCE_DIR}/docs/plugin-check.1
                        ${CMAKE_SOURCE_DIR}/docs/list-cameras.1 ${packaging_dir}/debian/changelog)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${packaging_out}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${file} ${packaging_out}/${name}
      COMMAND ${GZIP_PROGRAM} -9nf ${packaging_out}/${name}
      DEPENDS ${file} VERBATIM)
    list(APPEND gzipped ${packaging_out}/${name}.gz)
  endforeach()
  add_custom_target(packaged_documents ALL DEPENDS ${gzipped})

  file(STRINGS ${packaging_dir}/debian/changelog latest_entry LIMIT_COUNT 1)
  string(REPLACE "." "\\." version_pattern ${PROJECT_VERSION})
  if(NOT latest_entry MATCHES "^${CPACK_PACKAGE_NAME} \\(${version_pattern}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog: its latest entry is not version ${PROJECT_VERSION}")
  endif()

  # The copyright file in Debian's machine-readable format, made from LICENSE
  # so that the two never differ: its holders, and its text as an indented
  # paragraph (a blank line is " .").
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
  if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(Permission is hereby granted.*)$")
    message(FATAL_ERROR "LICENSE: no MIT licence with a copyright line")
  endif()
  set(COPYRIGHT ${CMAKE_MATCH_1})
  string(STRIP "${CMAKE_MATCH_2}" LICENCE_TEXT)
  string(REPLACE "\n\n" "\n.\n" LICENCE_TEXT "${LICENCE_TEXT}")
  string(REPLACE "\n" "\n " LICENCE_TEXT " ${LICENCE_TEXT}")
  configure_file(${packaging_dir}/debian/copyright.in ${packaging_out}/copyright @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE
                                                                ${packaging_dir}/debian/changelog)

  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME})
  install(FILES ${packaging_out}/ConsoleExample.1.gz ${packaging_out}/plugin-check.1.gz
                ${packaging_out}/list-cameras.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${packaging_out}/changelog.gz ${packaging_out}/copyright DESTINATION ${doc_dir})
  install(FILES ${packaging_dir}/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${CPACK_PACKAGE_NAME})

  set(CPACK_PACKAGE_CONTACT "Capture console developers <capture-console@localhost>")
  file(READ ${packaging_dir}/debian/description CPACK_DEBIAN_PACKAGE_DESCRIPTION)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
