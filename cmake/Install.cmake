# Install layout: the programs, the link library for other modules (header, pkg-config file),
# the desktop entry with its icons, a man page per program and the service's systemd unit.
# Included at the end of the top CMakeLists.txt, once every target exists.
#
# Components: vespero (monitor, probe, desktop entry, icons and the shared link library), sim
# (the simulator alone), dev (header, .so link, vesperolink.pc), vesperod (the service, with the
# link built in).
include(GNUInstallDirs)

# Icons and man pages need the programs to run and two tools; sanitizer builds skip them.
if(VESPERO_SANITIZE)
  set(vespero_docs_default OFF)
else()
  set(vespero_docs_default ON)
endif()
option(VESPERO_BUILD_DOCS "Render the icon sizes and the man pages" ${vespero_docs_default})
if(VESPERO_BUILD_DOCS)
  find_program(HELP2MAN_EXECUTABLE help2man)
  find_program(RSVG_CONVERT_EXECUTABLE rsvg-convert)
  if(NOT HELP2MAN_EXECUTABLE OR NOT RSVG_CONVERT_EXECUTABLE)
    message(WARNING "help2man or rsvg-convert missing (scripts/deps installs them): "
                    "no man pages or PNG icons will be installed")
  endif()
endif()

set(vespero_packaging ${CMAKE_SOURCE_DIR}/packaging)
set(vespero_generated ${CMAKE_BINARY_DIR}/packaging)

# Debian keeps units in /lib even for /usr programs; any other prefix keeps them inside itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VESPERO_SYSTEMD_UNITDIR /lib/systemd/system)
  set(VESPERO_MODULES_LOAD_DIR /lib/modules-load.d)
else()
  set(VESPERO_SYSTEMD_UNITDIR ${CMAKE_INSTALL_LIBDIR}/systemd/system)
  set(VESPERO_MODULES_LOAD_DIR ${CMAKE_INSTALL_LIBDIR}/modules-load.d)
endif()
set(VESPERO_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vespero)

# ---- Programs ----------------------------------------------------------------------------------

install(TARGETS vespero vespero-probe
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vespero)
install(TARGETS vespero-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
set(vespero_man_programs vespero vespero-sim vespero-probe)

if(TARGET vesperod)
  install(TARGETS vesperod RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vesperod)
  list(APPEND vespero_man_programs vesperod)
  # The shipped discharge tables, with their sources: examples for the [battery] table setting.
  install(FILES ${CMAKE_SOURCE_DIR}/link/data/vrla_12v_typical.csv ${CMAKE_SOURCE_DIR}/link/data/vrla_12v_low.csv
    DESTINATION ${CMAKE_INSTALL_DATADIR}/vesperod/batteries COMPONENT vesperod)
  # For the administrator to take up: Prometheus alert rules, a Grafana dashboard, and the Avahi
  # service file (inactive until copied to /etc/avahi/services, as the service listens on
  # loopback by default).
  install(FILES ${vespero_packaging}/vesperod/prometheus/vesperod.rules.yml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/vesperod/prometheus COMPONENT vesperod)
  install(FILES ${vespero_packaging}/vesperod/grafana/vesperod-dashboard.json
    DESTINATION ${CMAKE_INSTALL_DATADIR}/vesperod/grafana COMPONENT vesperod)
  install(FILES ${vespero_packaging}/vesperod/avahi/vesperod-nut.service
    DESTINATION ${CMAKE_INSTALL_DATADIR}/vesperod/avahi COMPONENT vesperod)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/daemon/vesperod.service)
  install(FILES ${CMAKE_SOURCE_DIR}/daemon/vesperod.service
    DESTINATION ${VESPERO_SYSTEMD_UNITDIR} COMPONENT vesperod)
  install(FILES ${vespero_packaging}/vesperod/modules-load
    DESTINATION ${VESPERO_MODULES_LOAD_DIR} RENAME vesperod.conf COMPONENT vesperod)
endif()
# Every daemon/*.conf is a default configuration file; the package marks them as conffiles.
file(GLOB vesperod_config_files ${CMAKE_SOURCE_DIR}/daemon/*.conf)
if(vesperod_config_files)
  install(FILES ${vesperod_config_files} DESTINATION ${VESPERO_CONFIG_DIR} COMPONENT vesperod)
endif()

# ---- The link library for other modules --------------------------------------------------------

install(TARGETS vesperolink
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT vespero NAMELINK_COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/link/ups_link.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vespero/link COMPONENT dev)
configure_file(${vespero_packaging}/vesperolink.pc.in ${vespero_generated}/vesperolink.pc @ONLY)
install(FILES ${vespero_generated}/vesperolink.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- Desktop entry and icons -------------------------------------------------------------------

install(FILES ${vespero_packaging}/vespero.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vespero)
install(FILES ${vespero_packaging}/vespero.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT vespero)

if(VESPERO_BUILD_DOCS AND RSVG_CONVERT_EXECUTABLE)
  set(vespero_icon_pngs)
  foreach(size 16 22 24 32 48 64 128 256)
    set(png ${vespero_generated}/icons/${size}x${size}/vespero.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${vespero_generated}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT_EXECUTABLE} -w ${size} -h ${size} -o ${png} ${vespero_packaging}/vespero.svg
      DEPENDS ${vespero_packaging}/vespero.svg
      COMMENT "Rendering the ${size}x${size} icon" VERBATIM)
    list(APPEND vespero_icon_pngs ${png})
    install(FILES ${png}
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT vespero)
  endforeach()
  add_custom_target(vespero-icons ALL DEPENDS ${vespero_icon_pngs})
endif()

# ---- Man pages, from each program's --help and --version ----------------------------------------

if(VESPERO_BUILD_DOCS AND HELP2MAN_EXECUTABLE)
  set(summary_vespero "monitor and service a UPS unit on a serial line")
  set(summary_vespero-sim "simulated UPS unit on a pseudo-terminal")
  set(summary_vespero-probe "print a UPS unit's state as JSON lines, one per poll cycle")
  set(summary_vesperod "serve the UPS units over the network")
  set(vespero_man_pages)
  foreach(program IN LISTS vespero_man_programs)
    set(page ${vespero_generated}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN_EXECUTABLE} -DPROGRAM=$<TARGET_FILE:${program}>
              "-DSUMMARY=${summary_${program}}" -DOUTPUT=${page}
              -P ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
      DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/ManPage.cmake
      COMMENT "Writing the man page of ${program}" VERBATIM)
    list(APPEND vespero_man_pages ${page})
    if(program STREQUAL "vesperod")
      set(component vesperod)
    elseif(program STREQUAL "vespero-sim")
      set(component sim)
    else()
      set(component vespero)
    endif()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
  add_custom_target(vespero-man-pages ALL DEPENDS ${vespero_man_pages})
endif()

# Everything the install rules copy, for builds that want no more than that (scripts/package).
add_custom_target(vespero-installables)
add_dependencies(vespero-installables vespero vespero-sim vespero-probe vesperolink)
foreach(target vesperod vespero-icons vespero-man-pages)
  if(TARGET ${target})
    add_dependencies(vespero-installables ${target})
  endif()
endforeach()
