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

# The board's build (preset armhf-release) installs its programs stripped
# even without `cmake --install --strip`, as they go onto the board.
option(BOARD_INSTALL_STRIPPED "cmake --install strips the programs" OFF)
if(BOARD_INSTALL_STRIPPED)
  install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)" COMPONENT board)
endif()

set(BOARD_USER_PROGRAMS kovrel yalmet dasmo fenwix quorla brevik splashgen)
set(BOARD_SYSTEM_PROGRAMS coeffnotify ocwatch clockrestore contrastset)

install(TARGETS ${BOARD_USER_PROGRAMS}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT board)
install(TARGETS ${BOARD_SYSTEM_PROGRAMS}
  RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT board)
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
