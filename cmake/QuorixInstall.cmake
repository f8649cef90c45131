# Install layout and Debian packages.
#
#   bin/tarvo                    -> symlink to lib/.../quorix/tarvo
#   lib/.../quorix/              tarvo, libQuorix.so and the libraries it links or loads: the
#                                module finds the host libraries beside itself and tarvo's default
#                                module is the one beside it; RPATH is $ORIGIN only
#   sbin/tvioctrld               the I/O service
#   QX_SYSTEMD_UNITDIR           its units
#   /etc/quorix/                 their settings (conffiles in the Debian package)
#   share/quorix/examples/       configuration, tag list, simulator scenario
#   share/doc/quorix*/           READMEs and pictures
#
# Components, one Debian package each (debian/rules installs them one by one): "quorix" (module,
# host stand-ins, tarvo, examples, docs), "iosvc" (tvioctrld, the framework library both use,
# units, settings, the simulator scenario: no Qt) and "dev" (what a host's author needs). Tests
# and benchmarks are in none.

# Debian's place for a package's documents, not share/doc/Quorix.
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/quorix)
endif()
include(GNUInstallDirs)

set(QX_INSTALL_PKGDIR ${CMAKE_INSTALL_LIBDIR}/quorix)
# Debian 12's debhelper looks for units in /lib/systemd/system.
set(QX_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING "Where the units are installed")
set(QX_INSTALL_CONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quorix)
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

# The example plant's configuration file, made from its JSON by the tarvo just built, so that
# tarvo serve and tarvo run work on it as installed.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/examples/plant.cfg
                   COMMAND tarvo cfg import ${CMAKE_SOURCE_DIR}/examples/plant.json
                           ${CMAKE_BINARY_DIR}/examples/plant.cfg
                   DEPENDS tarvo ${CMAKE_SOURCE_DIR}/examples/plant.json VERBATIM)
add_custom_target(example_plant_cfg ALL DEPENDS ${CMAKE_BINARY_DIR}/examples/plant.cfg)
install(FILES examples/plant.json examples/plant.tags ${CMAKE_BINARY_DIR}/examples/plant.cfg
        DESTINATION ${QX_INSTALL_EXAMPLEDIR} COMPONENT quorix)
# tarvo serve as a service, with its settings in /etc.
install(CODE "
  set(QX_UNIT_TARVO \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tarvo\")
  set(QX_UNIT_EXAMPLES \"\${CMAKE_INSTALL_PREFIX}/${QX_INSTALL_EXAMPLEDIR}\")
  set(QX_UNIT_CONFDIR ${QX_INSTALL_CONFDIR})
  foreach(file tarvo-serve.service etc/tarvo-serve.conf)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/\${file}.in ${CMAKE_BINARY_DIR}/packaging/\${file}
                   @ONLY)
  endforeach()" COMPONENT quorix)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tarvo-serve.service DESTINATION ${QX_SYSTEMD_UNITDIR}
        COMPONENT quorix)
install(FILES ${CMAKE_BINARY_DIR}/packaging/etc/tarvo-serve.conf DESTINATION ${QX_INSTALL_CONFDIR}
        COMPONENT quorix)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT quorix)
install(FILES packaging/man/tarvo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT quorix)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT quorix)

# quorix-dev: what a host's author needs, the C header first, a pkg-config file that points a
# C host at libTarvoSub (for the value and text functions), the example hosts and the document.
install(FILES host/tarvosub/include/tarvosub/qx_host.h quorix/include/quorix/drv_api.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorix COMPONENT dev)
# A C++ host's headers, in the folders the example's #include lines name: the value class and
# what it derives from, and the stand-in host libraries' tag database and message output.
foreach(header host/tarvosub/include/tarvosub/tagval.h
               framework/include/framework/object.h host/tarvodbm/include/tarvodbm/tagdb.h
               host/dezudur/include/dezudur/output.h)
  get_filename_component(qx_header_dir ${header} DIRECTORY)
  get_filename_component(qx_header_dir ${qx_header_dir} NAME)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorix/${qx_header_dir}
          COMPONENT dev)
endforeach()
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
                        INSTALL_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}/quorix")
  install(TARGETS tvioctrld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT iosvc)
  install(TARGETS QxFramework LIBRARY DESTINATION ${QX_INSTALL_PKGDIR} COMPONENT iosvc)
  install(FILES packaging/man/tvioctrld.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT iosvc)
  install(FILES examples/plant.scenario.json DESTINATION ${QX_INSTALL_EXAMPLEDIR} COMPONENT iosvc)
  install(FILES iosvc/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorix-iosvc
          COMPONENT iosvc)
  install(FILES sim/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorix-iosvc
          RENAME simulator.md COMPONENT iosvc)
  # The units and the simulator's settings name the installed paths, known only at install time
  # (the prefix of `cmake --install --prefix` is not the build's).
  install(CODE "
    set(QX_UNIT_TVIOCTRLD \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/tvioctrld\")
    set(QX_UNIT_SCENARIO \"\${CMAKE_INSTALL_PREFIX}/${QX_INSTALL_EXAMPLEDIR}/plant.scenario.json\")
    set(QX_UNIT_CONFDIR ${QX_INSTALL_CONFDIR})
    foreach(file tvioctrld.service tvioctrld-sim.service etc/tvioctrld-sim.conf)
      configure_file(${CMAKE_SOURCE_DIR}/packaging/\${file}.in
                     ${CMAKE_BINARY_DIR}/packaging/\${file} @ONLY)
    endforeach()" COMPONENT iosvc)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/tvioctrld.service
                ${CMAKE_BINARY_DIR}/packaging/tvioctrld-sim.service
          DESTINATION ${QX_SYSTEMD_UNITDIR} COMPONENT iosvc)
  install(FILES packaging/etc/tvioctrld.conf ${CMAKE_BINARY_DIR}/packaging/etc/tvioctrld-sim.conf
          DESTINATION ${QX_INSTALL_CONFDIR} COMPONENT iosvc)
  install(FILES packaging/quorix.sysusers DESTINATION lib/sysusers.d
          RENAME quorix.conf COMPONENT iosvc)
endif()
