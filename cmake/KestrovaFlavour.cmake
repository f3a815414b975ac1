# One build of the program: a Qt-free hub core, the windows on top of it, and
# a tiny main. FLAVOUR is "linux" or "win-a", "win-b", "win-c".
set(KESTROVA_CORE_COMMON
  src/core/network.cpp src/core/hub_utilities.cpp src/core/djangomanager.cpp
  src/core/server_commands.cpp)
set(KESTROVA_CORE_POSIX
  src/core/server_control_posix.cpp src/core/terminal_posix.cpp)
set(KESTROVA_UI_SOURCES
  src/ui/networkselectionwindow.cpp src/ui/screen_parts.cpp)

function(kestrova_add_flavour FLAVOUR)
  string(REPLACE "-" "_" id "${FLAVOUR}")
  set(core kestrova_core_${id})
  set(ui kestrova_ui_${id})

  if(FLAVOUR STREQUAL "linux")
    set(defs "")
    set(core_sources ${KESTROVA_CORE_COMMON} ${KESTROVA_CORE_POSIX})
  else()
    message(FATAL_ERROR "unknown flavour ${FLAVOUR}")
  endif()

  add_library(${core} STATIC ${core_sources})
  # The hub core is plain C++ without Qt, so that it also builds for Windows alone.
  set_target_properties(${core} PROPERTIES AUTOMOC OFF AUTOUIC OFF)
  target_include_directories(${core} PUBLIC ${PROJECT_SOURCE_DIR}/src/core)
  target_compile_definitions(${core} PUBLIC ${defs})
  target_link_libraries(${core} PUBLIC Threads::Threads)

  add_library(${ui} STATIC ${KESTROVA_UI_SOURCES})
  target_include_directories(${ui} PUBLIC ${PROJECT_SOURCE_DIR}/src/ui)
  target_link_libraries(${ui} PUBLIC ${core} Qt5::Widgets)

  add_executable(kestrova-${FLAVOUR} src/app/main.cpp)
  target_link_libraries(kestrova-${FLAVOUR} PRIVATE ${ui})
  install(TARGETS kestrova-${FLAVOUR} RUNTIME DESTINATION bin)
endfunction()
