# Run at install time (see install.cmake): writes the files that name
# installed paths for the prefix being installed to, then installs them.
function(orvex_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

orvex_full_path(ORVEX_FULL_BINDIR "${ORVEX_BINDIR}")
orvex_full_path(ORVEX_FULL_SBINDIR "${ORVEX_SBINDIR}")
orvex_full_path(ORVEX_FULL_DATADIR "${ORVEX_DATADIR}")
orvex_full_path(ORVEX_FULL_MODULE_DIR "${ORVEX_MODULE_DIR}")
orvex_full_path(ORVEX_FULL_UNIT_DIR "${ORVEX_UNIT_DIR}")
orvex_full_path(ORVEX_FULL_UDEV_DIR "${ORVEX_UDEV_DIR}")

# One staging folder per destination, so installs to different places from
# the same build tree do not meet.
string(MD5 tag "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staging "${ORVEX_STAGING_DIR}/${tag}")
file(MAKE_DIRECTORY "${staging}")

# The default registry names the installed module by its full path: the
# device manager then loads exactly that file and searches nowhere.
file(READ "${ORVEX_SOURCE_DIR}/config/orvex.reg" reg)
set(bare "\"Dll\"=\"orvexser.so\"")
string(FIND "${reg}" "${bare}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "config/orvex.reg: no line ${bare} to point at the installed module")
endif()
string(REPLACE "${bare}" "\"Dll\"=\"${ORVEX_FULL_MODULE_DIR}/orvexser.so\"" reg "${reg}")
string(REPLACE "Load it with:  orvexreg import config/orvex.reg"
  "The service loads it into a new machine's registry." reg "${reg}")
file(WRITE "${staging}/orvex.reg" "${reg}")

configure_file("${ORVEX_SOURCE_DIR}/config/orvex-devmgr.service.in"
  "${staging}/orvex-devmgr.service" @ONLY)
configure_file("${ORVEX_SOURCE_DIR}/config/70-orvex-touch.rules.in"
  "${staging}/70-orvex-touch.rules" @ONLY)

file(INSTALL DESTINATION "${ORVEX_FULL_DATADIR}/orvex" TYPE FILE FILES "${staging}/orvex.reg")
file(INSTALL DESTINATION "${ORVEX_FULL_UNIT_DIR}" TYPE FILE FILES "${staging}/orvex-devmgr.service")
file(INSTALL DESTINATION "${ORVEX_FULL_UDEV_DIR}" TYPE FILE FILES "${staging}/70-orvex-touch.rules")
