# SPDX-License-Identifier: Apache-2.0
# Where an installation puts everything (`cmake --install`, `make install`, the Debian
# package); the install rules themselves are in cmake/install.cmake.
#
#   PREFIX/bin/tq33                         the tool
#   PREFIX/bin/tq33-printer-app             the printer application
#   PREFIX/LIBDIR/tq33/                     the driver, host and model-data libraries: a
#                                           private directory, off the system's library
#                                           path, reached through the programs' run paths
#   PREFIX/share/tq33/                      the default model data and media definitions
#   PREFIX/share/man/                       tq33(1), tq33-printer-app(1), rastertotq33(8)
#   SYSTEMD/tq33-printer-app.service        the printer application's service (systemd's
#                                           unit directory, /lib/systemd/system)
#   SERVERBIN/filter/rastertotq33           CUPS's filter directory
#   CUPSDATA/model/tq33/tq33.ppd            CUPS's model directory, where `lpinfo -m` looks
#
# CUPS runs filters and lists PPDs only from its own directories (cups-config --serverbin
# and --datadir), so those two follow CUPS, not the prefix. Run paths are relative to the
# program ($ORIGIN), so a DESTDIR staging tree runs as the installation will; the prefix
# is therefore fixed when the build is configured (CMAKE_INSTALL_PREFIX).
include(GNUInstallDirs)

# A directory of CUPS as cups-config reports it, or the usual one.
function(tq33_cups_directory option fallback out)
  find_program(TQ33_CUPS_CONFIG cups-config)
  set(value "${fallback}")
  if(TQ33_CUPS_CONFIG)
    execute_process(COMMAND ${TQ33_CUPS_CONFIG} ${option} OUTPUT_VARIABLE reported
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(status EQUAL 0 AND reported)
      set(value "${reported}")
    endif()
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

tq33_cups_directory(--serverbin /usr/lib/cups TQ33_DEFAULT_CUPS_SERVERBIN)
tq33_cups_directory(--datadir /usr/share/cups TQ33_DEFAULT_CUPS_DATADIR)
set(TQ33_CUPS_SERVERBIN "${TQ33_DEFAULT_CUPS_SERVERBIN}" CACHE PATH
    "CUPS's directory of filters and back ends (cups-config --serverbin)")
set(TQ33_CUPS_DATADIR "${TQ33_DEFAULT_CUPS_DATADIR}" CACHE PATH
    "CUPS's data directory, whose model/ holds PPDs (cups-config --datadir)")

# systemd's directory of the units of packages (pkg-config's systemd.pc), or the usual one.
find_package(PkgConfig QUIET)
set(TQ33_DEFAULT_SYSTEMD_DIR /lib/systemd/system)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(TQ33_REPORTED_SYSTEMD_DIR systemd systemdsystemunitdir)
  if(TQ33_REPORTED_SYSTEMD_DIR)
    set(TQ33_DEFAULT_SYSTEMD_DIR "${TQ33_REPORTED_SYSTEMD_DIR}")
  endif()
endif()
set(TQ33_INSTALL_SYSTEMD_DIR "${TQ33_DEFAULT_SYSTEMD_DIR}" CACHE PATH
    "systemd's directory of system units, where the printer application's service goes")

# Absolute paths of the installed layout.
set(TQ33_INSTALL_LIBRARY_DIR "${CMAKE_INSTALL_FULL_LIBDIR}/tq33")
set(TQ33_INSTALL_DATA_DIR "${CMAKE_INSTALL_FULL_DATADIR}/tq33")
set(TQ33_INSTALL_FILTER_DIR "${TQ33_CUPS_SERVERBIN}/filter")
set(TQ33_INSTALL_MODEL_DIR "${TQ33_CUPS_DATADIR}/model/tq33")
# The default installation the filter reads once installed (it carries a copy inside
# itself for running from the build tree).
set(TQ33_DEFAULT_MODEL_DATA "${CMAKE_SOURCE_DIR}/data/tq33.model")
set(TQ33_DEFAULT_MEDIA_FILE "${CMAKE_SOURCE_DIR}/data/sample-media.dat")

# Gives an installed target a run path to the private library directory, relative to the
# directory it is installed in.
function(tq33_install_rpath target installed_in)
  file(RELATIVE_PATH to_libraries "${installed_in}" "${TQ33_INSTALL_LIBRARY_DIR}")
  if(to_libraries STREQUAL "")
    set(to_libraries ".")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "\$ORIGIN/${to_libraries}")
endfunction()
