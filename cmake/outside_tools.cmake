# The outside programs the tests and benchmarks call, looked up once: Debian's
# own python3 first (its packages, jsonschema, numpy and scipy, selenium, are
# installed for it, not for another on PATH), xmllint, sha256sum, and Chromium
# with its driver for the pages (empty when missing: those cases skip).
find_program(ORLIX_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(ORLIX_PYTHON3 python3)
find_program(ORLIX_XMLLINT xmllint)
find_program(ORLIX_SHA256SUM sha256sum)
find_program(ORLIX_CHROMIUM NAMES chromium chromium-browser)
find_program(ORLIX_CHROMEDRIVER chromedriver PATHS /usr/bin /usr/lib/chromium)
foreach(tool ORLIX_PYTHON3 ORLIX_XMLLINT ORLIX_SHA256SUM ORLIX_CHROMIUM ORLIX_CHROMEDRIVER)
  if(NOT ${tool})
    set(${tool} "")
  endif()
endforeach()

# orlix_use_outside_tools(TARGET): each tool's path as a define (PYTHON3_BIN,
# XMLLINT_BIN, SHA256SUM_BIN, CHROMIUM_BIN, CHROMEDRIVER_BIN), with the source
# and build folders (SOURCE_DIR, BINARY_DIR) where the tests keep their data.
function(orlix_use_outside_tools target)
  target_compile_definitions(${target} PRIVATE SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             BINARY_DIR="${CMAKE_BINARY_DIR}" PYTHON3_BIN="${ORLIX_PYTHON3}"
                             XMLLINT_BIN="${ORLIX_XMLLINT}" SHA256SUM_BIN="${ORLIX_SHA256SUM}"
                             CHROMIUM_BIN="${ORLIX_CHROMIUM}"
                             CHROMEDRIVER_BIN="${ORLIX_CHROMEDRIVER}")
endfunction()
