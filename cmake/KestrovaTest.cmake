# kestrova_add_test(NAME SOURCES a.cpp ... LIBS lib ... [PORT_8000] [REAL_TERMINAL] [TIMEOUT s]
#                   [ENVIRONMENT K=V ...] [LABELS l ...])
# One QtTest suite under CTest, headless by default. PORT_8000 marks suites
# that listen on port 8000, so that CTest never runs two of them at once;
# REAL_TERMINAL runs the suite inside xvfb-run and dbus-run-session.
# Labels: port8000 and e2e follow from those two; a suite with neither and no
# LABELS of its own is a "unit" one, part of the quick gate.
function(kestrova_add_test NAME)
  cmake_parse_arguments(T "PORT_8000;REAL_TERMINAL" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT;LABELS" ${ARGN})
  add_executable(${NAME} ${T_SOURCES})
  target_include_directories(${NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support
                                             ${PROJECT_BINARY_DIR}/tests)
  target_link_libraries(${NAME} PRIVATE ${T_LIBS} Qt5::Test kestrova_test_support)
  # A Windows build's code runs its commands through the interpreter stand-in.
  if(T_LIBS MATCHES "_win_[abc]" AND TARGET kestrova-cmd)
    add_dependencies(${NAME} kestrova-cmd)
  endif()
  set(env QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 ${T_ENVIRONMENT})
  if(T_REAL_TERMINAL)
    # The real gnome-terminal needs a display and a session bus of the test's own.
    add_test(NAME ${NAME} COMMAND xvfb-run -a dbus-run-session -- $<TARGET_FILE:${NAME}>)
    list(APPEND env NO_AT_BRIDGE=1)
  else()
    add_test(NAME ${NAME} COMMAND ${NAME})
  endif()
  set_tests_properties(${NAME} PROPERTIES ENVIRONMENT "${env}")
  if(T_TIMEOUT)
    set_tests_properties(${NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
  kestrova_label_test(${NAME} "${T_PORT_8000}" "${T_REAL_TERMINAL}" "${T_LABELS}")
endfunction()

# kestrova_add_script_test(NAME COMMAND ... [PORT_8000] [REAL_TERMINAL] [TIMEOUT s] [LABELS l ...])
# A test driven by a script; REAL_TERMINAL: one that runs the real programs
# on a display of its own.
function(kestrova_add_script_test NAME)
  cmake_parse_arguments(T "PORT_8000;REAL_TERMINAL" "TIMEOUT" "COMMAND;ENVIRONMENT;LABELS" ${ARGN})
  add_test(NAME ${NAME} COMMAND ${T_COMMAND})
  set_tests_properties(${NAME} PROPERTIES ENVIRONMENT "LC_ALL=C.UTF-8;${T_ENVIRONMENT}")
  if(T_TIMEOUT)
    set_tests_properties(${NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
  kestrova_label_test(${NAME} "${T_PORT_8000}" "${T_REAL_TERMINAL}" "${T_LABELS}")
endfunction()

function(kestrova_label_test NAME PORT_8000 REAL_TERMINAL LABELS)
  set(labels ${LABELS})
  if(PORT_8000)
    set_tests_properties(${NAME} PROPERTIES RESOURCE_LOCK port_8000)
    list(APPEND labels port8000)
  endif()
  if(REAL_TERMINAL)
    list(APPEND labels e2e)
  endif()
  if(NOT labels)
    set(labels unit)
  endif()
  list(REMOVE_DUPLICATES labels)
  set_tests_properties(${NAME} PROPERTIES LABELS "${labels}")
endfunction()
