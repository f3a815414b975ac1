# Run when installing: writes the launcher with this installation's full paths.
# KESTROVA_BINDIR, KESTROVA_DATA_DIR (relative to the prefix, or absolute),
# KESTROVA_LAUNCHER_SOURCE and KESTROVA_LAUNCHER_BUILT come from the install rules.
foreach(dir KESTROVA_BINDIR KESTROVA_DATA_DIR)
  if(IS_ABSOLUTE "${${dir}}")
    set(${dir}_FULL "${${dir}}")
  else()
    set(${dir}_FULL "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
# Both stand between single quotes in the script.
string(REPLACE "'" "'\\''" KESTROVA_PROGRAM "${KESTROVA_BINDIR_FULL}/kestrova-linux")
string(REPLACE "'" "'\\''" KESTROVA_DATA "${KESTROVA_DATA_DIR_FULL}")
configure_file("${KESTROVA_LAUNCHER_SOURCE}" "${KESTROVA_LAUNCHER_BUILT}" @ONLY)
file(INSTALL DESTINATION "${KESTROVA_BINDIR_FULL}" TYPE PROGRAM FILES "${KESTROVA_LAUNCHER_BUILT}")
