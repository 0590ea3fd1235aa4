# Install rules and packages.
#
#   cmake --install build [--prefix P]   programs, manual pages, the example
#                                        configuration and document root, the
#                                        systemd unit
#   cpack -G DEB (in a release build)    tarveld_VERSION_amd64.deb: the above
#                                        under /usr, and the service's own
#                                        configuration, document root and
#                                        logrotate file
#   cpack -G ZIP (in a mingw build)      the programs with a configuration and
#                                        document root beside them

if(WIN32)
  # One folder: "tarveld.exe tarveld.conf" runs in it as unpacked. The
  # example configuration, with its paths made relative to that folder.
  install(TARGETS tarveld testcgi RUNTIME DESTINATION .)
  file(READ ${CMAKE_SOURCE_DIR}/examples/tarveld.conf TARVELD_ZIP_CONF)
  string(REPLACE "the repository root, as scripts/run-example.sh starts it."
         "the folder of tarveld.exe." TARVELD_ZIP_CONF "${TARVELD_ZIP_CONF}")
  string(REPLACE "www-route = examples/www" "www-route = www"
         TARVELD_ZIP_CONF "${TARVELD_ZIP_CONF}")
  string(REPLACE "cgi-type = cgi | build/testcgi |" "cgi-type = cgi | testcgi.exe |"
         TARVELD_ZIP_CONF "${TARVELD_ZIP_CONF}")
  # No Python at a known path: the standard CGI example is left to the user.
  string(REPLACE "cgi-standard-type = py | /usr/bin/python3 |"
         "#cgi-standard-type = py | C:\\Python3\\python.exe |" TARVELD_ZIP_CONF "${TARVELD_ZIP_CONF}")
  string(REPLACE "cgi-env = PATH=/usr/bin:/bin" "#cgi-env = PATH=C:\\Windows\\System32"
         TARVELD_ZIP_CONF "${TARVELD_ZIP_CONF}")
  # Windows' services database knows no http-alt: port 80.
  string(REPLACE "bind-port = http-alt" "bind-port = http"
         TARVELD_ZIP_CONF "${TARVELD_ZIP_CONF}")
  file(WRITE ${CMAKE_BINARY_DIR}/zip/tarveld.conf "${TARVELD_ZIP_CONF}")
  install(FILES ${CMAKE_BINARY_DIR}/zip/tarveld.conf ${CMAKE_SOURCE_DIR}/README.md
          DESTINATION .)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/www DESTINATION .)
  # The README's links lead into docs/.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "tarveld-${PROJECT_VERSION}-win64")
else()
  include(GNUInstallDirs)
  install(TARGETS tarveld testcgi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Manual pages, compressed as Debian keeps them when gzip is at hand.
  find_program(TARVELD_GZIP gzip)
  foreach(page tarveld.8 tarveld.conf.5 testcgi.1)
    string(REGEX MATCH "[0-9]$" section ${page})
    if(TARVELD_GZIP)
      add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${TARVELD_GZIP} -9nc ${CMAKE_SOURCE_DIR}/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
        DEPENDS ${CMAKE_SOURCE_DIR}/man/${page} VERBATIM)
      list(APPEND TARVELD_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${page}.gz)
      install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz
              DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    else()
      install(FILES ${CMAKE_SOURCE_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endif()
  endforeach()
  if(TARVELD_MAN_PAGES)
    add_custom_target(man_pages ALL DEPENDS ${TARVELD_MAN_PAGES})
  endif()

  install(FILES ${CMAKE_SOURCE_DIR}/examples/tarveld.conf
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/www
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarveld.service DESTINATION lib/systemd/system)

  # The service's configuration lives outside the prefix: only the package
  # installs it (a prefix install leaves /etc alone), with its default page.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarveld.conf
          DESTINATION /etc/tarveld COMPONENT service EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarveld.logrotate DESTINATION /etc/logrotate.d
          RENAME tarveld COMPONENT service EXCLUDE_FROM_ALL)
  # Packages keep nothing in /var/www: the page is copied there on install.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/www/index.html
          DESTINATION ${CMAKE_INSTALL_DATADIR}/tarveld/www COMPONENT service EXCLUDE_FROM_ALL)
  if(TARVELD_GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/changelog.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/deb
      COMMAND ${TARVELD_GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${CMAKE_BINARY_DIR}/deb/changelog.gz
      DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
    add_custom_target(deb_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/deb/changelog.gz ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
            DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT service EXCLUDE_FROM_ALL)
  endif()

  set(CPACK_GENERATOR DEB)
  # Absolute destinations (/etc, /var) land in the package, not on this machine.
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL Unspecified service)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # A Debian revision after the version (tarveld_1.0.0-2_amd64.deb): the
  # package check builds a second package to upgrade to.
  set(TARVELD_DEB_RELEASE "" CACHE STRING "Debian revision of the package; empty: none")
  if(TARVELD_DEB_RELEASE)
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVELD_DEB_RELEASE})
  endif()
  set(CPACK_DEBIAN_PACKAGE_NAME tarveld)
  set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_STRIP_FILES ON)
endif()

set(CPACK_PACKAGE_NAME tarveld)
set(CPACK_PACKAGE_VENDOR "tarveld maintainers")
set(CPACK_PACKAGE_CONTACT "tarveld maintainers <maintainers@users.noreply.c-seed-e6d0bcf4.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small HTTP/1.0 server with CGI programs")
set(CPACK_PACKAGE_DESCRIPTION
  "tarveld serves documents and CGI programs over HTTP/1.0, one thread per\nconnection, configured by one key = value file. The package holds the\nserver, its test CGI program testcgi, manual pages and a systemd unit that\nis not enabled on install.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
include(CPack)
