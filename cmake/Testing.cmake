# add_project_test(NAME name SOURCES ... LIBS ... [LABELS ...] [GUI])
#
# One GoogleTest executable, registered test by test with CTest. Labels:
#   core      no Qt; run under every sanitizer build
#   threaded  exercises threads; the ThreadSanitizer build runs these
#   gui       needs Qt (offscreen platform)
#   sim       starts printer-sim
#   cups      starts a private cupsd
function(add_project_test)
  cmake_parse_arguments(T "GUI" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(T_GUI AND NOT WITH_GUI)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  set(_labels ${T_LABELS})
  if(T_GUI)
    # ui_common_test_leaks keeps fontconfig's never-freed caches out of
    # LeakSanitizer's reports in every test that draws text.
    target_link_libraries(${T_NAME} PRIVATE Qt6::Widgets Qt6::Test ui_common_test_leaks)
    list(APPEND _labels gui)
  endif()
  set(_env "QT_QPA_PLATFORM=offscreen;PRINTER_SIM=${CMAKE_BINARY_DIR}/sim/printer-sim;PROJECT_BUILD_DIR=${CMAKE_BINARY_DIR};PROJECT_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    TEST_LIST ${T_NAME}_TESTS
    PROPERTIES TIMEOUT 120)
  # gtest_discover_tests flattens list-valued PROPERTIES (a second label or a
  # second variable would become a property name), so labels and environment
  # are set by a script that CTest reads after the discovered test list.
  # Tests that start a cupsd take turns: CUPS's serial backend opens the
  # machine's serial ports to list them, and two of them probing at once can
  # miss a port.
  set(_lock "")
  if("cups" IN_LIST _labels)
    set(_lock "\n    RESOURCE_LOCK cupsd")
  endif()
  set(_props "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_properties.cmake")
  file(WRITE "${_props}"
    "if(${T_NAME}_TESTS)\n"
    "  set_tests_properties(\${${T_NAME}_TESTS} PROPERTIES\n"
    "    LABELS [==[${_labels}]==]\n"
    "    ENVIRONMENT [==[${_env}]==]${_lock})\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_props}")
endfunction()
