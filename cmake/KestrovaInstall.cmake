# Installation: the programs in bin/, what the keeper's working directory is
# made from in share/kestrova/, the launcher that makes it, the desktop entry
# and icon; and the Debian package of all that.
include(GNUInstallDirs)

set(KESTROVA_DATA_DIR ${CMAKE_INSTALL_DATADIR}/kestrova)

# The Windows builds of this host run their commands through kestrova-cmd,
# which they look for beside themselves.
if(TARGET kestrova-cmd)
  install(TARGETS kestrova-cmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(DIRECTORY template/ DESTINATION ${KESTROVA_DATA_DIR}/template
        PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
install(DIRECTORY img DESTINATION ${KESTROVA_DATA_DIR})
install(FILES fuseum.gif wifi.gif velmor_logo.ico scripts/style.qss DESTINATION ${KESTROVA_DATA_DIR})

if(NOT WIN32)
  install(FILES packaging/kestrova.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES img/velmor_logo.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
          RENAME kestrova.svg)

  # The launcher names the installed program and data by their full paths,
  # known only when installing (cmake --install --prefix, or CPack's own
  # prefix): it is written then.
  install(CODE "
    set(KESTROVA_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(KESTROVA_DATA_DIR \"${KESTROVA_DATA_DIR}\")
    set(KESTROVA_LAUNCHER_SOURCE \"${PROJECT_SOURCE_DIR}/packaging/kestrova.in\")
    set(KESTROVA_LAUNCHER_BUILT \"${PROJECT_BINARY_DIR}/packaging/kestrova\")")
  install(SCRIPT packaging/install-launcher.cmake)
endif()

set(CPACK_PACKAGE_NAME kestrova)
set(CPACK_PACKAGE_VENDOR "Kestrova")
set(CPACK_PACKAGE_CONTACT "Kestrova <kestrova@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop manager of a small organisation's Django hub")
set(CPACK_PACKAGE_DESCRIPTION
  "Kestrova lists the networks (Django web projects) of the keeper's hub, starts\n\
the chosen one's development server in a terminal and opens it in the browser.\n\
The Windows builds, run here through a stand-in for the command interpreter,\n\
come with it.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# The package installs where the launcher and the Windows builds were told
# the programs would be.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# What the program runs and loads besides the libraries it links: the SVG
# image plugin, Django, the terminal and the network and process tools.
set(kestrova_runtime
  libqt5svg5 python3 python3-django gnome-terminal net-tools nmap curl procps)
find_program(KESTROVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTROVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  list(PREPEND kestrova_runtime libqt5widgets5 libqt5gui5 libqt5core5a libstdc++6 libc6)
endif()
list(JOIN kestrova_runtime ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The browser is reached through xdg-open; the session bus lets the terminal start.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, dbus-user-session | dbus-x11, fonts-dejavu-core")
include(CPack)
