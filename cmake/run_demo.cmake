# Runs each program in DEMO_DIR as a user would, and stops at the first failure.
function(run_program title program)
  message(STATUS "---- ${title}")
  execute_process(COMMAND ${BIN_DIR}/${program} ${ARGN} WORKING_DIRECTORY ${DEMO_DIR}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${program} failed with exit status ${rc}")
  endif()
endfunction()

run_program("twin_capture: both receive channels into dual_test.bin" twin_capture)
file(SIZE ${DEMO_DIR}/dual_test.bin capture_size)
message(STATUS "dual_test.bin holds ${capture_size} bytes")
if(INSPECT)
  run_program("capture_inspect: is the capture any good?" capture_inspect --sigmf
              --plot dual_test.png dual_test.bin)
  message(STATUS "dual_test.sigmf-meta and dual_test.png written beside it")
endif()

# The simulated device takes any readable, non-empty file as an FPGA image.
file(WRITE ${DEMO_DIR}/demo_image.rbf "simulated FPGA image\n")
run_program("image_reloader: load the FPGA image twice" image_reloader -d sim -f demo_image.rbf)

run_program("burst_sender: ten packets of rotating length" burst_sender)
run_program("burst_sender: five packets of 100 dwords" burst_sender -n 5 -s 100 -d sim)
run_program("refswitch_soak: five clock-select switches, reloading the image each time"
            refswitch_soak -i 5 -d sim -l demo_image.rbf)

# The same programs as a test station would run them: the board acceptance
# sequence with its limits, deadlines and record.
if(STATION)
  run_program("station_run: the board acceptance sequence, with limits, deadlines and a record"
              station_run -i demo_image.rbf -s DEMO-0001 --operator demo -o station)
  message(STATUS "The record is ${DEMO_DIR}/station/record.json, the JUnit file ${DEMO_DIR}/station/junit.xml")
  message(STATUS "The page to open: ${DEMO_DIR}/station/report.html")

  # Two boards of a simulated bench at once, each its own run, each socket's
  # steps on its own board; board B's receiver is noisy, so that it fails
  # alone (exit status 1), while the first passes.
  file(WRITE ${DEMO_DIR}/demo_station.toml
       "name = \"demo-station\"\n"
       "[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
       "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n")
  message(STATUS "---- station_run: two sockets on a bench, board B with a noisy receiver")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env ORLIX_SIM_BENCH=A,B
                          ORLIX_SIM_SIGNAL_B=noise=100 ORLIX_SIM_BENCH_DIR=${DEMO_DIR}/bench
                          ${BIN_DIR}/station_run --station-file demo_station.toml
                          -s A=DEMO-0002 -s B=DEMO-0003 -o two-sockets
                  WORKING_DIRECTORY ${DEMO_DIR} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 1)
    message(FATAL_ERROR "the station of two sockets ended with exit status ${rc}, "
                        "not 1 (board B failing alone)")
  endif()
  message(STATUS "Each board's run is in ${DEMO_DIR}/two-sockets, which station.json lists")
endif()
