# Strict warnings everywhere, tests included, and a format string that is not
# a literal is an error, as in every Debian package. Warnings are errors in the
# developers' presets only (BOARD_WERROR): an integrator's newer compiler may
# warn where ours does not, and that must not stop a board's build.
set(BOARD_WARNINGS -Wall -Wextra -Wshadow -Wcast-qual -Wformat -Werror=format-security)
option(BOARD_WERROR "Treat warnings as errors" OFF)
if(BOARD_WERROR)
  list(APPEND BOARD_WARNINGS -Werror)
endif()

# Flags of the eleven board programs: no exceptions, no RTTI; texts go
# through stdio exactly as written.
set(BOARD_PROGRAM_FLAGS -fno-exceptions -fno-rtti)

add_compile_options(${BOARD_WARNINGS})

# board_program(NAME CORE_LIB SOURCES...) builds a shipped executable from its
# main source, linked against the program's core library. It is linked by the
# C compiler driver, which adds no C++ runtime library: the board carries only
# libc (and libgcc_s where the toolchain needs it), and a program that comes to
# need libstdc++ fails to link here instead of on the board.
function(board_program name core)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${BOARD_PROGRAM_FLAGS}>)
  target_link_libraries(${name} PRIVATE ${core})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
endfunction()

# board_core(NAME SOURCES...) builds a program's core static library, which
# both its executable and its unit tests link.
function(board_core name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${BOARD_PROGRAM_FLAGS}>)
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
