# The hardening a Debian package is built with: stack protector, checked
# libc calls where the compiler knows the buffer size, and a read-only,
# immediately bound relocation table. Position-independent executables and
# RELRO are the toolchain's defaults already. _FORTIFY_SOURCE needs an
# optimised build, so a debug build leaves it out.
option(BOARD_HARDENING "Build with the hardening flags of Debian packages" OFF)
if(BOARD_HARDENING)
  add_compile_options(-fstack-protector-strong)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
