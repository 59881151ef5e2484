# orlix_program(NAME SOURCES src... [LIBS lib...] [DEVICE]): a program of the
# suite, built into bin/ and installed. It joins the one list of programs
# (global property ORLIX_PROGRAMS) that the demo, the manual pages and the
# install check read; DEVICE puts it on ORLIX_DEVICE_PROGRAMS too, the programs
# that talk to a device and get a device test on a rig.
function(orlix_program name)
  cmake_parse_arguments(P "DEVICE" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY ORLIX_PROGRAMS ${name})
  if(P_DEVICE)
    set_property(GLOBAL APPEND PROPERTY ORLIX_DEVICE_PROGRAMS ${name})
  endif()
endfunction()
