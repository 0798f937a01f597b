# The install tree, in two components.
#
# board: what goes onto the controller board. The seven tools a technician
# runs go to bin/; the four housekeeping programs, which root starts from the
# board's start-up scripts (they set the clock, hand files to the Panel's
# user, drive the display), go to sbin/ with their manual pages in section 8.
# The example job files, the firmware-image generator of the demo and the
# splash preview script go with the documentation.
#
# boardsim: the simulated board for a development machine: the command, its
# preload shim, and host builds of the eleven programs that it runs by name,
# out of PATH so they are never taken for the board's own.

set(BOARD_USER_PROGRAMS kovrel yalmet dasmo fenwix quorla brevik splashgen)
set(BOARD_SYSTEM_PROGRAMS coeffnotify ocwatch clockrestore contrastset)

# The eleven programs, and on a development machine the simulator with its
# shim: what the end-to-end tests run and make demo builds.
add_custom_target(programs)
add_dependencies(programs ${BOARD_USER_PROGRAMS} ${BOARD_SYSTEM_PROGRAMS} boardsim_shim)
if(NOT CMAKE_CROSSCOMPILING)
  add_dependencies(programs boardsim_cli)
endif()

install(TARGETS ${BOARD_USER_PROGRAMS}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT board)
install(TARGETS ${BOARD_SYSTEM_PROGRAMS}
  RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT board)
# The steps of the start-up that the systemd units and the init script share
# (the units and the script themselves are Debian's, in debian/).
install(PROGRAMS startup/organ-start-up
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/organ-board COMPONENT board)
install(FILES
  examples/uart_job.txt
  examples/spi_job.txt
  examples/firmware.list
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT board)
install(PROGRAMS
  examples/make_firmware.sh
  tools/splash_preview.sh
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT board)

if(NOT CMAKE_CROSSCOMPILING)
  install(TARGETS boardsim_cli
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT boardsim)
  install(TARGETS boardsim_shim
    LIBRARY DESTINATION ${BOARDSIM_INSTALL_SHIM_DIR} COMPONENT boardsim)
  install(TARGETS ${BOARD_USER_PROGRAMS} ${BOARD_SYSTEM_PROGRAMS}
    RUNTIME DESTINATION ${BOARDSIM_INSTALL_PROGRAM_DIR} COMPONENT boardsim)
endif()
