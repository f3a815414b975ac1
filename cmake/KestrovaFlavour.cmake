# One build of the program: a Qt-free hub core, the windows on top of it, and
# a tiny main. FLAVOUR is "linux" or "win-a", "win-b", "win-c".
set(KESTROVA_CORE_COMMON
  src/core/network.cpp src/core/hub_utilities.cpp src/core/djangomanager.cpp
  src/core/server_commands.cpp src/core/server_control.cpp src/core/hub_provisioning.cpp
  src/core/port_owner.cpp src/core/network_maker.cpp src/core/server_output.cpp)
set(KESTROVA_CORE_POSIX
  src/core/server_control_posix.cpp src/core/terminal_posix.cpp src/core/hub_discovery.cpp
  src/core/hub_address.cpp)
# The Windows build's server control and its platform seam (src/core/win). On a
# host without Windows the seam's C runtime calls reach the stand-in programs
# of standins/.
set(KESTROVA_CORE_WINDOWS
  src/core/server_control_win.cpp src/core/win/process_win.cpp src/core/win/port_owner_win.cpp)
include(GNUInstallDirs)
# The Windows builds run kestrova-cmd from beside themselves: in the build tree
# and in bin/ once installed. Only programs elsewhere (the test suites, which
# run from tests/) need the path compiled in as a last resort; outside a test
# build it is the installed one, so that no installed program names the tree
# it was built in.
if(KESTROVA_BUILD_TESTS)
  set(KESTROVA_CMD_FALLBACK "$<TARGET_FILE:kestrova-cmd>")
else()
  set(KESTROVA_CMD_FALLBACK "${CMAKE_INSTALL_FULL_BINDIR}/kestrova-cmd")
endif()
if(WIN32)
  set(KESTROVA_WINDOWS_ON_REQUEST "")
else()
  set(KESTROVA_WINDOWS_ON_REQUEST EXCLUDE_FROM_ALL)
endif()
set(KESTROVA_UI_SOURCES
  src/ui/networkselectionwindow.cpp src/ui/screen_parts.cpp src/ui/clientwindow.cpp
  src/ui/setupwindow.cpp src/ui/busy_work.cpp src/ui/keeper_tools.cpp
  src/ui/new_network_form.cpp)

function(kestrova_add_flavour FLAVOUR)
  string(REPLACE "-" "_" id "${FLAVOUR}")
  set(core kestrova_core_${id})
  set(ui kestrova_ui_${id})

  if(FLAVOUR STREQUAL "linux")
    set(defs "")
    set(core_sources ${KESTROVA_CORE_COMMON} ${KESTROVA_CORE_POSIX})
  elseif(FLAVOUR MATCHES "^win-([abc])$")
    string(TOUPPER "${CMAKE_MATCH_1}" configuration)
    set(defs KESTROVA_WINDOWS_BUILD KESTROVA_START_CONFIGURATION_${configuration})
    set(core_sources ${KESTROVA_CORE_COMMON} ${KESTROVA_CORE_WINDOWS})
  else()
    message(FATAL_ERROR "unknown flavour ${FLAVOUR}")
  endif()

  add_library(${core} STATIC ${core_sources})
  # The hub core is plain C++ without Qt, so that it also builds for Windows alone.
  set_target_properties(${core} PROPERTIES AUTOMOC OFF AUTOUIC OFF)
  target_include_directories(${core} PUBLIC ${PROJECT_SOURCE_DIR}/src/core)
  target_compile_definitions(${core} PUBLIC ${defs})
  target_link_libraries(${core} PUBLIC Threads::Threads)
  if(FLAVOUR MATCHES "^win-")
    target_include_directories(${core} PUBLIC ${PROJECT_SOURCE_DIR}/src/core/win)
    if(WIN32)
      target_link_libraries(${core} PUBLIC ws2_32 iphlpapi ntdll)
    else()
      # The library only names kestrova-cmd; what runs it needs it built.
      target_compile_definitions(${core} PRIVATE KESTROVA_CMD_PATH="${KESTROVA_CMD_FALLBACK}")
    endif()
  endif()

  add_library(${ui} STATIC ${KESTROVA_UI_SOURCES})
  target_include_directories(${ui} PUBLIC ${PROJECT_SOURCE_DIR}/src/ui)
  target_link_libraries(${ui} PUBLIC ${core} Qt5::Widgets)
  if(FLAVOUR STREQUAL "linux")
    # The client's live search: DNS-SD through the Avahi daemon, the sweep as fallback.
    find_package(Qt5 COMPONENTS Network REQUIRED)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(AVAHI_CLIENT REQUIRED IMPORTED_TARGET avahi-client)
    target_sources(${ui} PRIVATE src/ui/hub_search.cpp src/ui/hub_browser.cpp src/ui/hub_ask.cpp
                   src/ui/address_field.cpp src/ui/remembered_hubs.cpp)
    target_link_libraries(${ui} PUBLIC Qt5::Network PkgConfig::AVAHI_CLIENT)
  endif()

  # The start-up sequence, apart from main so that the benchmarks run it too.
  add_library(kestrova_app_${id} STATIC src/app/startup.cpp)
  target_include_directories(kestrova_app_${id} PUBLIC ${PROJECT_SOURCE_DIR}/src/app)
  target_link_libraries(kestrova_app_${id} PUBLIC ${ui})

  # The generated main window. Nothing refers to it, so it is linked as
  # objects: from a static library the linker would leave it out.
  add_library(kestrova_mainwindow_${id} OBJECT src/app/mainwindow.cpp src/app/mainwindow.ui)
  target_include_directories(kestrova_mainwindow_${id} PUBLIC ${PROJECT_SOURCE_DIR}/src/app)
  target_link_libraries(kestrova_mainwindow_${id} PUBLIC Qt5::Widgets)

  add_executable(kestrova-${FLAVOUR} src/app/main.cpp)
  # The program carries every component, even those no screen of it opens yet
  # (client window, setup dialog, provisioning): keep the whole libraries.
  target_link_libraries(kestrova-${FLAVOUR} PRIVATE kestrova_app_${id} kestrova_mainwindow_${id})
  set_target_properties(kestrova-${FLAVOUR} PROPERTIES
    LINK_LIBRARY_OVERRIDE_${core} WHOLE_ARCHIVE LINK_LIBRARY_OVERRIDE_${ui} WHOLE_ARCHIVE)
  if(FLAVOUR MATCHES "^win-" AND NOT WIN32)
    add_dependencies(kestrova-${FLAVOUR} kestrova-cmd)
  endif()
  if(FLAVOUR STREQUAL "linux")
    install(TARGETS kestrova-linux RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The member program: the same start-up, then the client window alone.
    add_executable(kestrova-client src/app/client_main.cpp)
    target_link_libraries(kestrova-client PRIVATE kestrova_app_${id})
    install(TARGETS kestrova-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # The launcher's small command: makes the first start's demo with the
    # same code as the new network form.
    add_executable(kestrova-nouveau-reseau src/app/new_network_main.cpp)
    set_target_properties(kestrova-nouveau-reseau PROPERTIES AUTOMOC OFF AUTOUIC OFF)
    target_link_libraries(kestrova-nouveau-reseau PRIVATE ${core})
    # Run by the launcher only: not on PATH.
    install(TARGETS kestrova-nouveau-reseau RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kestrova)
  else()
    # On a host without Windows they are test products, installed only on
    # request: cmake --install <build> --component windows-builds.
    install(TARGETS kestrova-${FLAVOUR} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT windows-builds ${KESTROVA_WINDOWS_ON_REQUEST})
  endif()
endfunction()
