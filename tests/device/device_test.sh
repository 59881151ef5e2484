#!/bin/sh
# One device test against the rig's device, in a fresh folder: ORLIX_TEST_DEVICE
# names the device (the test is skipped, status 77, when it is unset) and
# ORLIX_TEST_IMAGE the FPGA image. Usage: device_test.sh TEST BIN_DIR
set -u
test_name=$1
bin=$2
if [ -z "${ORLIX_TEST_DEVICE:-}" ]; then
  echo "skipped: ORLIX_TEST_DEVICE is not set"
  exit 77
fi
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
case "$test_name" in
  twin_capture)
    "$bin/twin_capture" || exit 1
    if [ -x "$bin/capture_inspect" ]; then
      "$bin/capture_inspect" dual_test.bin
    fi
    ;;
  image_reloader)
    if [ -z "${ORLIX_TEST_IMAGE:-}" ]; then
      echo "skipped: ORLIX_TEST_IMAGE is not set"
      exit 77
    fi
    "$bin/image_reloader" -d "$ORLIX_TEST_DEVICE" -f "$ORLIX_TEST_IMAGE"
    ;;
  burst_sender)
    "$bin/burst_sender" -n 1000 -d "$ORLIX_TEST_DEVICE" &&
      "$bin/burst_sender" -n 1000 -s 100 -d "$ORLIX_TEST_DEVICE"
    ;;
  refswitch_soak)
    "$bin/refswitch_soak" -i 10 -d "$ORLIX_TEST_DEVICE"
    ;;
  *)
    echo "no device test named $test_name"
    exit 2
    ;;
esac
