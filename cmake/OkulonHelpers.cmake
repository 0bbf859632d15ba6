# Small helpers shared by the folders' CMakeLists.

# okulon_widl(<name> <idl>): runs widl on <idl> and defines
#   <name>_HEADER, <name>_IID (C file with the GUID definitions), <name>_TLB.
function(okulon_widl name idl)
  get_filename_component(base ${idl} NAME_WE)
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(widl_args ${OKULON_WIDL_TARGET} -I${OKULON_WINE_IDL_DIR} -I${CMAKE_CURRENT_SOURCE_DIR}
                -L${OKULON_WINE_LIBRARY_DIR})
  add_custom_command(
    OUTPUT ${out}/${base}.h ${out}/${base}_i.c ${out}/${base}.tlb
    COMMAND ${OKULON_WIDL} ${widl_args} -h -o ${out}/${base}.h ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
    COMMAND ${OKULON_WIDL} ${widl_args} -u -o ${out}/${base}_i.c ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
    COMMAND ${OKULON_WIDL} ${widl_args} -t -o ${out}/${base}.tlb ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
    COMMENT "widl ${idl}")
  set(${name}_HEADER ${out}/${base}.h PARENT_SCOPE)
  set(${name}_IID ${out}/${base}_i.c PARENT_SCOPE)
  set(${name}_TLB ${out}/${base}.tlb PARENT_SCOPE)
endfunction()

# okulon_idl_library(<target> <idl>): widl's outputs of <idl> and a static
# library <target> of its identifiers whose users see the generated header
# (built before anything that includes it compiles); sets <target>_TLB to the
# type library file.
function(okulon_idl_library target idl)
  okulon_widl(generated ${idl})
  add_custom_target(${target}_files DEPENDS ${generated_HEADER} ${generated_TLB})
  add_library(${target} STATIC ${generated_IID})
  add_dependencies(${target} ${target}_files)
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(${target} PUBLIC uuid)
  set(${target}_TLB ${generated_TLB} PARENT_SCOPE)
endfunction()

# okulon_gtest(<target>): links GoogleTest (system package natively, built from
# OKULON_GOOGLETEST_SOURCE_DIR for the cross build) and registers the tests with ctest.
function(okulon_gtest target)
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120 DISCOVERY_MODE PRE_TEST
                       PROPERTIES TIMEOUT 120)
endfunction()

# okulon_add_fuzz_target(<name> <source>... LIBRARIES <library>...): a libFuzzer
# executable (clang only); its seed corpus lives in corpus/<name>/ beside it.
function(okulon_add_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 fuzz "" "" "LIBRARIES")
  add_executable(${name} ${fuzz_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${fuzz_LIBRARIES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
endfunction()
