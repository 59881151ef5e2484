# The Debian package (cpack --preset package): the programs, their manual
# pages and the documentation, nothing a rig does not run.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orlix-suite)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orlix device test suite developers <orlix-suite@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test programs for the Orlix software-defined radio")
set(CPACK_PACKAGE_DESCRIPTION
    "Console test programs that exercise an Orlix device and report by exit status:
 twin_capture captures both receive channels, burst_sender transmits packets,
 refswitch_soak switches the reference clock, image_reloader reloads the FPGA
 image, capture_inspect checks a capture, and station_run runs them as a test
 station with limits, deadlines, a record, JUnit, a report page and a history.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL Unspecified)  # never the simulated device's own library
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
