if(WIN32)
  okulon_widl(OKULON_IDL okulon.idl)
  target_sources(okulon_component PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/okulon_module.cpp
    ${CMAKE_CURRENT_LIST_DIR}/class_factory.cpp
    ${CMAKE_CURRENT_LIST_DIR}/type_info_holder.cpp
    ${OKULON_IDL_IID})
  target_include_directories(okulon_component PUBLIC ${CMAKE_CURRENT_BINARY_DIR})

  add_library(Okulon SHARED
    ${CMAKE_CURRENT_LIST_DIR}/exports.cpp
    ${CMAKE_CURRENT_LIST_DIR}/okulon.rc
    ${CMAKE_CURRENT_LIST_DIR}/Okulon.def)
  set_target_properties(Okulon PROPERTIES PREFIX "" OUTPUT_NAME Okulon)
  okulon_version_resource(Okulon Okulon.dll "Okulon eye-tracker extension (COM in-process server)")
  target_link_libraries(Okulon PRIVATE okulon_component)
  target_link_options(Okulon PRIVATE -Wl,--enable-stdcall-fixup)
  target_include_directories(Okulon PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/okulon.rc PROPERTIES OBJECT_DEPENDS ${OKULON_IDL_TLB})
  # widl's outputs must exist before anything that includes okulon.h compiles.
  add_custom_target(okulon_idl DEPENDS ${OKULON_IDL_HEADER} ${OKULON_IDL_TLB})
  add_dependencies(okulon_component okulon_idl)
endif()
