# Installation: the programs in bin/, what the keeper's working directory is
# made from in share/kestrova/, the launchers that make it, desktop entries,
# icon, AppStream metadata, manual pages, the Debian documents; and the Debian
# package of all that.
include(GNUInstallDirs)

set(KESTROVA_DATA_DIR ${CMAKE_INSTALL_DATADIR}/kestrova)
# Named after the package, as Debian wants it.
set(KESTROVA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kestrova)

# The Windows builds of this host run their commands through kestrova-cmd,
# which they look for beside themselves; installed with them, on request.
if(TARGET kestrova-cmd)
  install(TARGETS kestrova-cmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT windows-builds ${KESTROVA_WINDOWS_ON_REQUEST})
endif()

install(DIRECTORY template/ DESTINATION ${KESTROVA_DATA_DIR}/template
        PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
# img/ holds every image once; the launcher also puts the animations and the
# Windows icon at the working directory's top, where the programs look too.
install(DIRECTORY img DESTINATION ${KESTROVA_DATA_DIR})
install(FILES scripts/style.qss DESTINATION ${KESTROVA_DATA_DIR})

if(NOT WIN32)
  set(packaging ${PROJECT_SOURCE_DIR}/packaging)
  set(made ${PROJECT_BINARY_DIR}/packaging)
  set(programs kestrova-linux kestrova-client)
  set(launchers kestrova kestrova-membre)

  install(FILES ${packaging}/kestrova.desktop ${packaging}/kestrova-membre.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${packaging}/kestrova.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
          RENAME org.example.kestrova.metainfo.xml)
  install(FILES ${packaging}/copyright DESTINATION ${KESTROVA_DOC_DIR})
  install(FILES ${packaging}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME kestrova)

  # Compressed as Debian wants them: no name or time stamp in the gzip header,
  # so that the same sources give the same package.
  set(compressed)
  foreach(page ${programs} ${launchers})
    list(APPEND compressed ${packaging}/man/${page}.1 ${made}/${page}.1.gz)
  endforeach()
  list(APPEND compressed ${packaging}/changelog ${made}/changelog.gz)
  set(outputs)
  while(compressed)
    list(POP_FRONT compressed source output)
    add_custom_command(OUTPUT ${output} COMMAND gzip -9n -c ${source} > ${output} DEPENDS ${source})
    list(APPEND outputs ${output})
  endwhile()
  file(MAKE_DIRECTORY ${made})
  add_custom_target(kestrova_packaging_documents ALL DEPENDS ${outputs})
  install(FILES ${made}/changelog.gz DESTINATION ${KESTROVA_DOC_DIR})
  foreach(page ${programs} ${launchers})
    install(FILES ${made}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The menu's icon is the programs' own logo, installed once in img/.
  install(CODE "
    set(icons \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps\")
    file(MAKE_DIRECTORY \"\${icons}\")
    file(CREATE_LINK ../../../../kestrova/img/velmor_logo.svg \"\${icons}/kestrova.svg\" SYMBOLIC)")

  # A stripped program keeps no compiler identification either.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program ${programs})
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
      endforeach()
    endif()")

  # The launchers name the installed programs and data by their full paths,
  # known only when installing (cmake --install --prefix, or CPack's own
  # prefix): they are written then.
  install(CODE "
    set(KESTROVA_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(KESTROVA_DATA_DIR \"${KESTROVA_DATA_DIR}\")
    set(KESTROVA_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")
    set(KESTROVA_LAUNCHER_SOURCE \"${packaging}/kestrova.in\")
    set(KESTROVA_LAUNCHERS_BUILT \"${made}\")")
  install(SCRIPT packaging/install-launcher.cmake)
endif()

set(CPACK_PACKAGE_NAME kestrova)
set(CPACK_PACKAGE_VENDOR "Kestrova")
# Placeholders: the maintainer and the home page are those of whoever
# distributes the package.
set(CPACK_PACKAGE_CONTACT "Kestrova <kestrova@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop manager of a small organisation's Django hub")
set(CPACK_PACKAGE_DESCRIPTION
  "Kestrova lists the networks (Django web projects) of the keeper's hub,\n\
starts the chosen one's development server in a terminal window and opens\n\
it in the browser. Its first start makes a demo network.\n\
.\n\
The members' program, kestrova-membre, finds the hubs of the local network\n\
and opens the chosen one in the browser; it needs nmap.\n\
.\n\
The servers are started in gnome-terminal by name, with options of its own\n\
(a new window that runs a command): no other terminal can stand in for it.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# The package installs where the launchers were told the programs would be.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# What the programs run and load besides the libraries they link: the SVG
# image plugin, Django, the terminal and the network and process tools.
set(kestrova_runtime libqt5svg5 python3 python3-django gnome-terminal net-tools curl procps)
find_program(KESTROVA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTROVA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  list(PREPEND kestrova_runtime libqt5widgets5 libqt5gui5 libqt5network5 libqt5core5a libavahi-client3
       libstdc++6 libc6)
endif()
list(JOIN kestrova_runtime ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# Only the members' program scans the network (nmap). The browser is reached
# through xdg-open; the session bus lets the terminal start. Avahi makes the
# hubs known to the members at once (python3-dbus lets a hub announce itself);
# without it both programs still work, the members' through the sweep.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "nmap, xdg-utils, dbus-user-session | dbus-x11, fonts-dejavu-core, avahi-daemon, python3-dbus")
include(CPack)
