# Tests of vireo calibrate and vireo pattern: ground truth recovered from simulated recordings,
# the printable target's layout, and the command's refusals.
vireo_add_test(vireo_calibration_command_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/test_calibrate_command.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/src/CalibrationRun.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/src/PatternCommand.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/src/CommandLine.cpp
  LINK Vireo::Groundwork Vireo::Pipit Vireo::Hal Vireo::Lensfit Vireo::Vibration opencv_imgcodecs)
if(TARGET vireo_calibration_command_tests)
  target_include_directories(vireo_calibration_command_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_compile_definitions(vireo_calibration_command_tests PRIVATE VIREO_TOOL="$<TARGET_FILE:vireo>")
  add_dependencies(vireo_calibration_command_tests vireo)
endif()
