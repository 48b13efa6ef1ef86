# Install rules and the Debian package (cpack -G DEB in the build folder).
#   bin/oscset, bin/oscset-sim, lib/udev/rules.d/60-oscset-adapter.rules,
#   share/man/man1/oscset.1.gz, oscset-sim.1.gz, share/doc/oscset/ (README.md, the Debian
#   changelog and copyright), and the empty folder of the system-wide design (/etc/oscset,
#   whatever the prefix: the program looks there); the design itself is the administrator's
# The package installs under /usr: the udev rule in /usr/lib/udev/rules.d, which udev reads
# (on Debian 12 /lib is /usr/lib).

include(GNUInstallDirs)

set(OSCSET_PACKAGE_MAINTAINER "oscset developers <oscset@example.org>"
    CACHE STRING "The Debian package's maintainer, as 'Name <address>'")

set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_out ${PROJECT_BINARY_DIR}/packaging)

# Manual pages and the changelog carry the project's version; installed compressed, as
# Debian wants them (gzip -n: no name or time stamp, so the same sources give the same bytes).
set(_compressed)
foreach(page oscset.1 oscset-sim.1 changelog)
    configure_file(${_pkg}/${page}.in ${_out}/${page} @ONLY)
    add_custom_command(OUTPUT ${_out}/${page}.gz
        COMMAND sh -c "gzip -9n < '${_out}/${page}' > '${_out}/${page}.gz'"
        DEPENDS ${_out}/${page}
        VERBATIM)
    list(APPEND _compressed ${_out}/${page}.gz)
endforeach()
add_custom_target(oscset_docs ALL DEPENDS ${_compressed})

install(TARGETS oscset oscset-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/cables/usb/60-oscset-adapter.rules
        DESTINATION lib/udev/rules.d)
install(FILES ${_out}/oscset.1.gz ${_out}/oscset-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${_out}/changelog.gz ${_pkg}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
get_filename_component(_design_folder ${OSCSET_SYSTEM_DESIGN} DIRECTORY)
install(DIRECTORY DESTINATION ${_design_folder})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oscset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${OSCSET_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OSCSET_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg}/postinst ${_pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "clock generator control for the ALDER-FPGA board
oscset makes the ALDER-FPGA board a programmable clock generator, from 1 Hz
to 180 MHz: it loads the board's USB JTAG adapter with its firmware,
configures the board's Spartan-II FPGA, sets the synthesiser's dividers for
the frequency asked for and waits for lock. oscset-sim runs the same program
on a simulated board. The package installs the udev rule that gives the user
at the console and the group plugdev access to the adapter.")
include(CPack)
