# The version this tree builds and the date its generated files carry, from
# packaging/version.sh: the newest entry of debian/changelog for the commit
# that added it (a release) or for an unpacked source, a snapshot version
# naming the commit for every other checkout. BOARD_VERSION goes into the
# manual pages and boardsim --version, BOARD_SOURCE_DATE_EPOCH dates the pages,
# so that a rebuild of the same commit makes the same files.
set(BOARD_CHANGELOG ${CMAKE_SOURCE_DIR}/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BOARD_CHANGELOG})
execute_process(COMMAND sh ${CMAKE_SOURCE_DIR}/packaging/version.sh ${CMAKE_SOURCE_DIR}
  OUTPUT_VARIABLE version_line ERROR_VARIABLE version_error RESULT_VARIABLE version_result
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT version_result EQUAL 0 OR NOT version_line MATCHES "^(([0-9.]+)[^ ]*) ([0-9]+)$")
  message(FATAL_ERROR "packaging/version.sh: ${version_error}")
endif()
set(BOARD_VERSION ${CMAKE_MATCH_1})
set(BOARD_SOURCE_DATE_EPOCH ${CMAKE_MATCH_3})
if(NOT CMAKE_MATCH_2 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${BOARD_CHANGELOG}: newest entry is version ${CMAKE_MATCH_2}, "
    "the project is ${PROJECT_VERSION}: make them the same")
endif()
message(STATUS "Version ${BOARD_VERSION}")
# Rewritten only when the version changes, so that what carries it (the
# manual pages) is rebuilt then and only then.
set(BOARD_VERSION_FILE ${CMAKE_BINARY_DIR}/version.txt)
file(CONFIGURE OUTPUT ${BOARD_VERSION_FILE} CONTENT "${BOARD_VERSION} ${BOARD_SOURCE_DATE_EPOCH}\n")
