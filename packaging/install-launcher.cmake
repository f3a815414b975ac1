# Run when installing: writes the launchers with this installation's full
# paths. KESTROVA_BINDIR, KESTROVA_DATA_DIR (relative to the prefix, or
# absolute), KESTROVA_LAUNCHER_SOURCE and KESTROVA_LAUNCHERS_BUILT come from
# the install rules.
foreach(dir KESTROVA_BINDIR KESTROVA_DATA_DIR KESTROVA_LIBEXECDIR)
  if(IS_ABSOLUTE "${${dir}}")
    set(${dir}_FULL "${${dir}}")
  else()
    set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
# The keeper's launcher starts the Linux build, the members' one the client
# window; both in the same working directory.
foreach(pair "kestrova:kestrova-linux" "kestrova-membre:kestrova-client")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 KESTROVA_LAUNCHER)
  list(GET pair 1 program)
  # Both paths stand between single quotes in the script.
  string(REPLACE "'" "'\\''" KESTROVA_PROGRAM "${KESTROVA_BINDIR_FULL}/${program}")
  string(REPLACE "'" "'\\''" KESTROVA_DATA "${KESTROVA_DATA_DIR_FULL}")
  string(REPLACE "'" "'\\''" KESTROVA_MAKER "${KESTROVA_LIBEXECDIR_FULL}/kestrova/kestrova-nouveau-reseau")
  configure_file("${KESTROVA_LAUNCHER_SOURCE}" "${KESTROVA_LAUNCHERS_BUILT}/${KESTROVA_LAUNCHER}" @ONLY)
  file(INSTALL DESTINATION "${KESTROVA_BINDIR_FULL}" TYPE PROGRAM
       FILES "${KESTROVA_LAUNCHERS_BUILT}/${KESTROVA_LAUNCHER}")
endforeach()
