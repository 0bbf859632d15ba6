# GoogleTest for both configurations, set up before any folder adds tests.
include(GoogleTest)
if(WIN32)
  # No mingw GoogleTest package exists: build it from Debian's sources
  # (it defines the GTest:: targets itself).
  set(OKULON_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${OKULON_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED GLOBAL)
  find_package(Threads REQUIRED)
endif()

# okulon_wine_test(<name> [library...]): one test program of the cross builds
# from <name>.cpp, run under Wine beside Okulon.dll, the host program and the
# stand-in tracker libraries, linked with the helpers of its face: the folder
# sets OKULON_WINE_TEST_SUPPORT. One executable per file, so that module-wide
# state (lock count, cached factory, type information) starts fresh in each.
function(okulon_wine_test name)
  add_executable(${name} ${name}.cpp)
  target_link_libraries(${name} PRIVATE ${OKULON_WINE_TEST_SUPPORT} ${ARGN})
  okulon_gtest(${name})
  if(TARGET tet AND TARGET ttime)
    add_dependencies(${name} tet ttime)
  endif()
  add_dependencies(${name} Okulon okulon_host)
endfunction()
