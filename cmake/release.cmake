# The release this tree builds is described once, in the newest entry of
# packaging/changelog (Debian's changelog format): its version must be the
# project's, its trailer names the packages' maintainer and gives the date
# that the manual pages carry, so that a rebuild of the same release makes
# the same files.
set(BOARD_CHANGELOG ${CMAKE_SOURCE_DIR}/packaging/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BOARD_CHANGELOG})
file(STRINGS ${BOARD_CHANGELOG} changelog_lines)

list(GET changelog_lines 0 changelog_head)
if(NOT changelog_head MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\) ")
  message(FATAL_ERROR "${BOARD_CHANGELOG}: first line is not a changelog entry heading")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${BOARD_CHANGELOG}: newest entry is version ${CMAKE_MATCH_1}, "
    "the project is ${PROJECT_VERSION}: add an entry for this version")
endif()

set(changelog_trailer "")
foreach(changelog_line IN LISTS changelog_lines)
  if(changelog_line MATCHES "^ -- (.+ <[^>]+>)  (.+)$")
    set(BOARD_RELEASE_MAINTAINER "${CMAKE_MATCH_1}")
    set(changelog_date "${CMAKE_MATCH_2}")
    break()
  endif()
endforeach()
if(NOT BOARD_RELEASE_MAINTAINER)
  message(FATAL_ERROR "${BOARD_CHANGELOG}: newest entry has no ' -- NAME <MAIL>  DATE' line")
endif()
execute_process(COMMAND date -u -d "${changelog_date}" +%s
  OUTPUT_VARIABLE BOARD_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE date_result)
if(NOT date_result EQUAL 0)
  message(FATAL_ERROR "${BOARD_CHANGELOG}: cannot read the date '${changelog_date}'")
endif()
