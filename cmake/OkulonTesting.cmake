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
