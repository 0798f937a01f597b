# GoogleTest comes from Debian's libgtest-dev. For the host it is found as an
# installed package; for the ARM board it is built from the sources that the
# same package ships in /usr/src/googletest, with the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # The sources do not build cleanly with our warning set.
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
  # The googletest sources define the GTest:: aliases themselves.
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
