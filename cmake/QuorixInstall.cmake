# Install layout and Debian packages.
#
#   bin/tarvo                    -> symlink to lib/.../quorix/tarvo
#   lib/.../quorix/              tarvo, libQuorix.so and the libraries it links or loads: the
#                                module finds the host libraries beside itself and tarvo's default
#                                module is the one beside it; RPATH is $ORIGIN only
#   sbin/tvioctrld               the I/O service
#   lib/systemd/system/          its units
#   share/quorix/examples/       configuration, tag list, simulator scenario
#   share/doc/quorix*/           READMEs and pictures
#
# Components: "quorix" (module, host stand-ins, tarvo, examples, docs) and "iosvc" (tvioctrld,
# the framework library both use, units, the simulator scenario: no Qt). Tests, benchmarks and their libraries are in neither.

# Debian's place for a package's documents, not share/doc/Quorix.
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/quorix)
endif()
include(GNUInstallDirs)

set(QX_INSTALL_PKGDIR ${CMAKE_INSTALL_LIBDIR}/quorix)
set(QX_INSTALL_EXAMPLEDIR ${CMAKE_INSTALL_DATADIR}/quorix/examples)

install(TARGETS Quorix TarvoSub TarvoDbm DezudurE Project tarvo
        LIBRARY DESTINATION ${QX_INSTALL_PKGDIR} COMPONENT quorix
        RUNTIME DESTINATION ${QX_INSTALL_PKGDIR} COMPONENT quorix)

# tarvo in bin is a relative symlink; tarvo resolves /proc/self/exe, so its $ORIGIN and its
# default module are the package folder's.
file(RELATIVE_PATH qx_tarvo_link /${CMAKE_INSTALL_BINDIR} /${QX_INSTALL_PKGDIR}/tarvo)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
file(CREATE_LINK ${qx_tarvo_link} ${CMAKE_BINARY_DIR}/install-links/tarvo SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install-links/tarvo DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT quorix)

install(FILES examples/plant.json examples/plant.tags DESTINATION ${QX_INSTALL_EXAMPLEDIR}
        COMPONENT quorix)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT quorix)
install(FILES packaging/man/tarvo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT quorix)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT quorix)

set(QX_PACKAGE_PREFIX /usr CACHE PATH "Prefix the Debian packages install to")

# quorix-dev: what a host's author needs, the C header first, a pkg-config file that points a
# C host at libTarvoSub (for the value and text functions), the example hosts and the document.
install(FILES host/tarvosub/include/tarvosub/qx_host.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorix
        COMPONENT dev)
configure_file(packaging/quorix.pc.in ${CMAKE_BINARY_DIR}/packaging/quorix.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/quorix.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
install(FILES examples/minimal_host.cpp examples/c_host/c_host.c examples/c_host/host_dbm.c
              examples/c_host/host_messages.c
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorix-dev/examples COMPONENT dev)
install(FILES docs/host-interface.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorix-dev
        COMPONENT dev)

if(TARGET tvioctrld)
  # The board check runs the driver's board code, which needs the framework library, installed
  # with the service in the package folder. A daemon run as root searches that folder only, by
  # its absolute path, never its own folder; in the build tree it keeps $ORIGIN.
  set_target_properties(tvioctrld PROPERTIES BUILD_WITH_INSTALL_RPATH OFF BUILD_RPATH "$ORIGIN"
                        INSTALL_RPATH "${QX_PACKAGE_PREFIX}/${QX_INSTALL_PKGDIR}")
  install(TARGETS tvioctrld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT iosvc)
  install(TARGETS QxFramework LIBRARY DESTINATION ${QX_INSTALL_PKGDIR} COMPONENT iosvc)
  install(FILES packaging/man/tvioctrld.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT iosvc)
  install(FILES examples/plant.scenario.json DESTINATION ${QX_INSTALL_EXAMPLEDIR} COMPONENT iosvc)
  install(FILES iosvc/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorix-iosvc
          COMPONENT iosvc)
  # The units name the installed paths, known only at install time (a package's prefix is not
  # the build's).
  install(CODE "
    set(QX_UNIT_TVIOCTRLD \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/tvioctrld\")
    set(QX_UNIT_SCENARIO \"\${CMAKE_INSTALL_PREFIX}/${QX_INSTALL_EXAMPLEDIR}/plant.scenario.json\")
    foreach(unit tvioctrld.service tvioctrld-sim.service)
      configure_file(${CMAKE_SOURCE_DIR}/packaging/\${unit}.in
                     ${CMAKE_BINARY_DIR}/packaging/\${unit} @ONLY)
    endforeach()" COMPONENT iosvc)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/tvioctrld.service
                ${CMAKE_BINARY_DIR}/packaging/tvioctrld-sim.service
          DESTINATION lib/systemd/system COMPONENT iosvc)
  install(FILES packaging/quorix.sysusers DESTINATION lib/sysusers.d RENAME quorix.conf
          COMPONENT iosvc)
  set(QX_UNIT_SYSUSERS ${QX_PACKAGE_PREFIX}/lib/sysusers.d/quorix.conf)
  configure_file(packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
endif()

# --- Debian packages ----------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorix)
set(CPACK_PACKAGE_VENDOR "Quorix")
set(CPACK_PACKAGE_CONTACT "Quorix maintainers <quorix@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The install runs with the package's prefix whatever the build's (and the staging folder as
# DESTDIR), so the units name /usr/sbin/tvioctrld.
set(CPACK_PACKAGING_INSTALL_PREFIX ${QX_PACKAGE_PREFIX})
set(CPACK_INSTALL_PREFIX ${QX_PACKAGE_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL quorix dev)
if(TARGET tvioctrld)
  list(APPEND CPACK_COMPONENTS_ALL iosvc)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Library dependencies (Qt 6, libstdc++, glibc) from dpkg-shlibdeps; the package's own
# libraries are found in its staging folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps runs in the staging root, so the folder is relative to it.
string(REGEX REPLACE "^/" "" qx_stage_prefix "${QX_PACKAGE_PREFIX}")
# The framework library is the service's package's (it needs no Qt); the driver's package finds
# it in that package's staging folder beside its own.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${qx_stage_prefix}/${QX_INSTALL_PKGDIR}
    ../iosvc/${qx_stage_prefix}/${QX_INSTALL_PKGDIR})

set(CPACK_DEBIAN_QUORIX_PACKAGE_NAME quorix)
# The framework library comes with the service's package, which needs no Qt.
set(CPACK_DEBIAN_QUORIX_PACKAGE_DEPENDS "quorix-iosvc (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_QUORIX_PACKAGE_RECOMMENDS "fonts-nanum")
# First line: the summary.
set(CPACK_DEBIAN_QUORIX_DESCRIPTION "K-Link (DLU) communication driver for the Tarvo HMI host
The driver module libQuorix.so with stand-ins for the host libraries, the tarvo host
program and an example plant.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME quorix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "quorix (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Host interface of the Quorix K-Link (DLU) driver
The C header qx_host.h, a pkg-config file, the example hosts in C and C++ and the
document for writing a host of the driver module.")
set(CPACK_DEBIAN_IOSVC_PACKAGE_NAME quorix-iosvc)
set(CPACK_DEBIAN_IOSVC_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_IOSVC_DESCRIPTION "TVIOCTRL I/O service for the Quorix driver
tvioctrld gives the driver the K-Link (DLU) board's ports and memory window, on real
hardware or on the built-in board simulator, with systemd units for both.")
set(CPACK_DEBIAN_IOSVC_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm
    ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_IOSVC_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
