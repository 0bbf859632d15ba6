# Self-registration of Okulon.dll: the platform registry behind the registrar
# seam, DllRegisterServer/DllUnregisterServer, and the script resource.
if(WIN32)
  target_sources(okulon_component PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/registration.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32_registry.cpp)
  set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/registration.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/okulon.rgs)

  # The DLL target is defined by a fragment included after this one: add the
  # script resource once this folder has been read.
  function(okulon_add_registration_resource)
    if(TARGET Okulon)
      target_sources(Okulon PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/registration.rc)
    else()
      message(WARNING "Okulon.dll target missing: the registrar script resource is not embedded")
    endif()
  endfunction()
  cmake_language(DEFER CALL okulon_add_registration_resource)
endif()
