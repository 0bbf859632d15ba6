# Gaze conversion: a header-only template over the object it reports to.
target_sources(okulon_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/gaze_conversion.h)
