# Where an installation puts ORVEX, in two components that are the two Debian
# packages: "orvex" (the driver, the device manager, the tools, the default
# registry and the service; no Qt) and "orvex-gui" (the calibration program
# and the control panel with their menu entries).
include(GNUInstallDirs)

# Relative: below the prefix. The Debian build passes /lib/systemd/system.
set(ORVEX_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder for the systemd unit, relative to the prefix unless absolute")
# Relative: below the prefix; /usr gives /usr/lib/udev/rules.d.
set(ORVEX_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
  "Folder for the udev rule, relative to the prefix unless absolute")
set(ORVEX_MODULE_DIR "${CMAKE_INSTALL_LIBDIR}/orvex")
# The device manager also looks there, relative to its own place, for a
# driver whose Dll is a bare file name.
if(NOT IS_ABSOLUTE "${ORVEX_MODULE_DIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_SBINDIR}")
  target_compile_definitions(orvex-devmgr PRIVATE ORVEX_INSTALL_MODULE_DIR="${ORVEX_MODULE_DIR}")
endif()

install(TARGETS orvex-devmgr RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT orvex)
install(TARGETS orvexctl orvexreg orvexsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT orvex)
install(TARGETS orvexser LIBRARY DESTINATION ${ORVEX_MODULE_DIR} COMPONENT orvex)
install(FILES docs/man/orvex-devmgr.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT orvex)
install(FILES docs/man/orvexctl.1 docs/man/orvexreg.1 docs/man/orvexsim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT orvex)

# The default registry, the unit and the udev rule name installed paths. They
# are written at install time, so that an installation under another prefix
# (cmake --install --prefix DIR) names its own files.
install(CODE "
  set(ORVEX_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(ORVEX_STAGING_DIR \"${CMAKE_BINARY_DIR}/install-staging\")
  set(ORVEX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(ORVEX_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(ORVEX_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  set(ORVEX_MODULE_DIR \"${ORVEX_MODULE_DIR}\")
  set(ORVEX_UNIT_DIR \"${ORVEX_SYSTEMD_UNIT_DIR}\")
  set(ORVEX_UDEV_DIR \"${ORVEX_UDEV_RULES_DIR}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/install-configured.cmake\")
" COMPONENT orvex)

# The programs arrive one by one; each brings its menu entry, icon and page.
foreach(program orvexcal orvexcpl)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT orvex-gui)
    install(FILES docs/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT orvex-gui)
    install(FILES config/${program}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
      COMPONENT orvex-gui)
    install(FILES config/${program}.svg
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT orvex-gui)
  endif()
endforeach()
