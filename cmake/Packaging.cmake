# Debian packages, one per install component (scripts/package builds them):
#   vespero          the monitor window, vespero-probe, desktop entry, icons and the link library
#                    libvesperolink.so.1 (a separate libvesperolink1 would have to be named beside
#                    it); it recommends vespero-sim, so a desktop install still gets the simulator
#   vespero-sim      the simulator alone: plain C++ without Qt, so a headless server can run it
#                    beside vesperod without the window libraries
#   vespero-dev      ups_link.h, the .so link and vesperolink.pc
#   vesperod         the network service with its systemd unit; the link is built into it, so a
#                    headless server installs no window libraries
# Library dependencies come from dpkg-shlibdeps. The only ones written here are those between our
# own packages, the service's need of adduser, which its maintainer scripts call, and of procps.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vespero)
set(CPACK_PACKAGE_VENDOR "Vespero Monitor")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vespero Monitor maintainers <maintainers@vespero-monitor.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps must find our own library while it lists the others' dependencies; the
# dependency on its package comes from the component graph below.
get_target_property(vespero_link_dir vesperolink BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${vespero_link_dir})

set(CPACK_COMPONENTS_ALL vespero sim dev)

set(CPACK_DEBIAN_VESPERO_PACKAGE_NAME vespero)
set(CPACK_DEBIAN_VESPERO_PACKAGE_SECTION utils)
# CPack 3.25 also writes ldconfig calls into the library's maintainer scripts and has no switch
# to leave them out; the trigger is what dpkg uses, the override says why the calls stay.
set(CPACK_DEBIAN_VESPERO_PACKAGE_CONTROL_EXTRA ${vespero_packaging}/vespero/triggers)
install(FILES ${vespero_packaging}/vespero/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vespero COMPONENT vespero)
set(CPACK_COMPONENT_VESPERO_DESCRIPTION "monitoring and service tool for UPS units
Vespero Monitor shows a UPS unit on a serial line live: frequency, battery
voltage and current, output power and load, temperatures and the operating
state, with a CSV data log, failure and history diagnostics and, behind access
codes, the service dialogs. The package also holds vespero-probe, which prints
the unit's state as JSON lines, and the link library libvesperolink.so.1 that
other modules drive the same link through.")
set(CPACK_DEBIAN_VESPERO_PACKAGE_RECOMMENDS vespero-sim)

set(CPACK_DEBIAN_SIM_PACKAGE_NAME vespero-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION utils)
# The first 1.4 packages had the simulator in vespero: taking the file over from one of those
# needs no removal first.
set(CPACK_DEBIAN_SIM_PACKAGE_REPLACES "vespero (<< 1.4.1~)")
set(CPACK_COMPONENT_SIM_DESCRIPTION "simulated Vespero UPS unit on a pseudo-terminal
vespero-sim plays a Vespero UPS unit on a pseudo-terminal and publishes it as
COM<n> in the port directory, so the monitor, vespero-probe and the network
service vesperod reach it like a unit on a serial line: for trying them out
without the hardware, with an optional battery model and fault injection.
It needs no window libraries.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME vespero-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS vespero)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Vespero UPS link library: development files
The header ups_link.h, the linker name of libvesperolink and the pkg-config
file vesperolink.pc, for modules that drive the Vespero UPS link:
pkg-config --cflags --libs vesperolink.")

if(TARGET vesperod)
  list(APPEND CPACK_COMPONENTS_ALL vesperod)
  set(CPACK_DEBIAN_VESPEROD_PACKAGE_NAME vesperod)
  set(CPACK_DEBIAN_VESPEROD_PACKAGE_SECTION admin)
  # procps: the unit's ExecReload sends the SIGHUP with /bin/kill, which a minimal system lacks.
  set(CPACK_DEBIAN_VESPEROD_PACKAGE_DEPENDS "adduser, procps")
  set(CPACK_COMPONENT_VESPEROD_DESCRIPTION "Vespero UPS network service
vesperod serves the UPS units that Vespero's link polls over the network. It
runs as the system user vesperod (in the group dialout, for the serial ports)
from the systemd unit vesperod.service, which is installed but not enabled.")
  set(vesperod_control
    ${vespero_packaging}/vesperod/postinst
    ${vespero_packaging}/vesperod/prerm
    ${vespero_packaging}/vesperod/postrm)
  if(vesperod_config_files)
    set(conffiles "")
    foreach(config IN LISTS vesperod_config_files)
      get_filename_component(name ${config} NAME)
      string(APPEND conffiles "${VESPERO_CONFIG_DIR}/${name}\n")
    endforeach()
    file(WRITE ${vespero_generated}/vesperod/conffiles "${conffiles}")
    list(APPEND vesperod_control ${vespero_generated}/vesperod/conffiles)
  endif()
  set(CPACK_DEBIAN_VESPEROD_PACKAGE_CONTROL_EXTRA ${vesperod_control})
endif()

# Every package carries its copyright note and the changelog, as Debian requires.
add_custom_command(OUTPUT ${vespero_generated}/changelog.gz
  COMMAND gzip -9n -c ${vespero_packaging}/changelog > ${vespero_generated}/changelog.gz
  DEPENDS ${vespero_packaging}/changelog
  COMMENT "Compressing the changelog")
add_custom_target(vespero-changelog ALL DEPENDS ${vespero_generated}/changelog.gz)
add_dependencies(vespero-installables vespero-changelog)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${vespero_packaging}/copyright ${vespero_generated}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
    COMPONENT ${component})
endforeach()

include(CPack)
