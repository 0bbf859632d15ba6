# Registrar script interpreter, registration program and the registry seam
# they share; platform-free, so natively testable.
target_sources(okulon_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/memory_registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reg_object.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registration_program.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry_virtual_machine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/replacement_list.cpp)
