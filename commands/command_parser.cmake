target_sources(okulon_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/command_parser.cpp)
