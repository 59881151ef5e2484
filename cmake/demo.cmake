# `demo` runs the suite against the simulated device in a scratch folder.
set(ORLIX_DEMO_DIR ${CMAKE_BINARY_DIR}/demo)
get_property(ORLIX_DEMO_PROGRAMS GLOBAL PROPERTY ORLIX_PROGRAMS)
add_custom_target(demo
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${ORLIX_DEMO_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ORLIX_DEMO_DIR}
  COMMAND ${CMAKE_COMMAND}
          -D "BIN_DIR=$<TARGET_FILE_DIR:twin_capture>"
          -D "DEMO_DIR=${ORLIX_DEMO_DIR}"
          -D "INSPECT=$<TARGET_EXISTS:capture_inspect>"
          -D "STATION=$<TARGET_EXISTS:station_run>"
          -P ${CMAKE_SOURCE_DIR}/cmake/run_demo.cmake
  USES_TERMINAL
  VERBATIM)
add_dependencies(demo ${ORLIX_DEMO_PROGRAMS})
# The manual pages the README opens after the demo.
if(TARGET man_pages)
  add_dependencies(demo man_pages)
endif()
