# The device library every program links, as the one target orlix::device:
# the simulated one, or the maker's libOrlix found under ORLIX_ROOT.
if(ORLIX_USE_SIM)
  add_library(orlix::device ALIAS orlix_sim)
else()
  if(NOT ORLIX_ROOT AND DEFINED ENV{ORLIX_ROOT})
    set(ORLIX_ROOT "$ENV{ORLIX_ROOT}")
  endif()
  if(ORLIX_EXTERNAL_SIM AND NOT ORLIX_ROOT)
    # Stands in for the maker's install: the simulated device built on its own
    # and installed, as libOrlix.so and orlix.h, into a prefix of its own.
    set(ORLIX_ROOT ${CMAKE_BINARY_DIR}/sim-prefix)
    set(sim_build ${CMAKE_BINARY_DIR}/sim-build)
    foreach(step "-S;${CMAKE_SOURCE_DIR};-B;${sim_build};-G;${CMAKE_GENERATOR};-DBUILD_TESTING=OFF"
                 "--build;${sim_build};--target;orlix_sim_shared"
                 "--install;${sim_build};--component;simulated_device;--prefix;${ORLIX_ROOT}")
      execute_process(COMMAND ${CMAKE_COMMAND} ${step} RESULT_VARIABLE rc OUTPUT_QUIET)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "building the simulated libOrlix.so failed: ${step}")
      endif()
    endforeach()
  endif()
  set(ORLIX_ROOT "${ORLIX_ROOT}" CACHE PATH "Install prefix of the maker's libOrlix")
  find_library(ORLIX_LIBRARY NAMES Orlix HINTS ${ORLIX_ROOT} PATH_SUFFIXES lib lib64 REQUIRED)
  message(STATUS "Device library: ${ORLIX_LIBRARY}")
  # Installed programs find a device library outside the system's path too.
  get_filename_component(orlix_libdir ${ORLIX_LIBRARY} DIRECTORY)
  if(NOT orlix_libdir IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    set(CMAKE_INSTALL_RPATH ${orlix_libdir})
  endif()
  add_library(orlix_device UNKNOWN IMPORTED)
  set_target_properties(orlix_device PROPERTIES IMPORTED_LOCATION ${ORLIX_LIBRARY})
  target_include_directories(orlix_device INTERFACE ${CMAKE_SOURCE_DIR}/common)
  add_library(orlix::device ALIAS orlix_device)
endif()
