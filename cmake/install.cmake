# SPDX-License-Identifier: Apache-2.0
# Install rules for the layout of cmake/install_dirs.cmake, the queue's PPD and the manual
# pages they install, and the Debian package (CPack). Included when the tool and the
# filter are built.

# The prefix is part of the programs' run paths and of where the filter looks for its
# data: an install to another prefix than the configured one would not run.
install(CODE "
  if(NOT \"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(FATAL_ERROR \"This build installs to ${CMAKE_INSTALL_PREFIX}; for \${CMAKE_INSTALL_PREFIX}, \"
                        \"configure it with -DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX}\")
  endif()")

# The programs and libraries are linked again for their installed run paths (see
# CMAKE_NO_BUILTIN_CHRPATH): `cmake --install` does that first, as `make install` does.
if(CMAKE_NO_BUILTIN_CHRPATH)
  install(CODE "
    execute_process(COMMAND \"${CMAKE_COMMAND}\" --build \"${CMAKE_BINARY_DIR}\"
                            --target preinstall/fast RESULT_VARIABLE relinked OUTPUT_QUIET)
    if(NOT relinked EQUAL 0)
      message(FATAL_ERROR \"Linking the installed programs for their run paths failed\")
    endif()")
endif()

# Directories CUPS's filter user (lp) reads, whatever the installing user's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The libraries find each other beside themselves; the programs find them through a run
# path relative to where they are installed.
install(TARGETS tq33host tq33drv tq33modeldata
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tq33)
set_target_properties(tq33host tq33drv tq33modeldata PROPERTIES INSTALL_RPATH "\$ORIGIN")
# The codec module, loaded by the tool and the printer application from beside the
# libraries; it needs none of them.
install(TARGETS tq33codecs LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tq33)
install(TARGETS tq33 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
tq33_install_rpath(tq33 ${CMAKE_INSTALL_FULL_BINDIR})
install(TARGETS rastertotq33 RUNTIME DESTINATION ${TQ33_INSTALL_FILTER_DIR})
tq33_install_rpath(rastertotq33 ${TQ33_INSTALL_FILTER_DIR})
if(TQ33_PRINTER_APP)
  install(TARGETS tq33-printer-app RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  tq33_install_rpath(tq33-printer-app ${CMAKE_INSTALL_FULL_BINDIR})
  # The service that runs it, where systemd looks for the units of packages.
  set(TQ33_SERVICE ${CMAKE_BINARY_DIR}/share/tq33-printer-app.service)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/tq33-printer-app.service.in ${TQ33_SERVICE} @ONLY)
  install(FILES ${TQ33_SERVICE} DESTINATION ${TQ33_INSTALL_SYSTEMD_DIR})
endif()
install(FILES ${TQ33_DEFAULT_MODEL_DATA} ${TQ33_DEFAULT_MEDIA_FILE}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tq33)

# The queue's PPD, generated from the default installation by the tool: it names the
# filter by its name in CUPS's filter directory, and no data files (the installed filter
# reads those of the data directory).
set(TQ33_PPD ${CMAKE_BINARY_DIR}/share/tq33.ppd)
add_custom_command(
  OUTPUT ${TQ33_PPD}
  COMMAND tq33 ppd --filter rastertotq33 -o ${TQ33_PPD}
  DEPENDS tq33 tq33modeldata
  COMMENT "Generating the PPD of the installed queue"
  VERBATIM)
add_custom_target(tq33_ppd ALL DEPENDS ${TQ33_PPD})
install(FILES ${TQ33_PPD} DESTINATION ${TQ33_INSTALL_MODEL_DIR})

# Manual pages with the installed paths filled in, compressed as Debian installs them (no
# name or time in the gzip header, so that the package is the same from build to build).
set(TQ33_MAN_PAGES)
set(TQ33_PAGES tq33.1 rastertotq33.8)
if(TQ33_PRINTER_APP)
  list(APPEND TQ33_PAGES tq33-printer-app.1)
endif()
foreach(page ${TQ33_PAGES})
  string(REGEX REPLACE ".*\\." "" section ${page})
  set(filled ${CMAKE_BINARY_DIR}/share/man/${page})
  configure_file(${CMAKE_SOURCE_DIR}/man/${page}.in ${filled} @ONLY)
  add_custom_command(
    OUTPUT ${filled}.gz
    COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" gzip ${filled} ${filled}.gz
    DEPENDS ${filled}
    VERBATIM)
  list(APPEND TQ33_MAN_PAGES ${filled}.gz)
  install(FILES ${filled}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(tq33_man_pages ALL DEPENDS ${TQ33_MAN_PAGES})

# The licence, as Debian's packages carry it: the machine-readable copyright file and the
# changelog, compressed as Debian installs it.
set(TQ33_CHANGELOG ${CMAKE_BINARY_DIR}/share/doc/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/share/doc)
add_custom_command(
  OUTPUT ${TQ33_CHANGELOG}
  COMMAND sh -c "gzip -9 -n -c \"$1\" > \"$2\"" gzip ${CMAKE_SOURCE_DIR}/packaging/changelog
          ${TQ33_CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(tq33_doc_files ALL DEPENDS ${TQ33_CHANGELOG})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${TQ33_CHANGELOG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/printer-driver-tq33)

# `make uninstall` removes what the last install of this build put in place.
configure_file(${CMAKE_SOURCE_DIR}/cmake/uninstall.cmake.in ${CMAKE_BINARY_DIR}/uninstall.cmake @ONLY)

# `make package`: a Debian package of the installation. dpkg-shlibdeps finds the library
# dependencies (libc, libpng, libjpeg, libcups, libpappl; the C++ runtime is linked in);
# CUPS's filters turn PDF and images into the raster the filter reads.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME printer-driver-tq33)
set(CPACK_PACKAGE_VENDOR "TQ-33 driver project")
set(CPACK_PACKAGE_CONTACT "TQ-33 driver developers <tq33-driver@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "printer driver for the TQ-33 thermal label-tape printer")
# The control file's description, in lines of its usual width.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "The CUPS filter rastertotq33 and the PPD of a TQ-33 queue, which print any"
  "document CUPS can rasterise on the printer's tapes and labels; the printer"
  "application tq33-printer-app, which offers the printer to every IPP client"
  "(driverless CUPS, macOS, iOS, Windows, Android) as an IPP Everywhere printer,"
  "with its systemd service; and the tq33 tool, which prints images, reports the"
  "driver's settings and media, and decodes printer streams.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' packed relocations (DT_RELR) need the C library of 2.36 or later, which no
# symbol they import tells dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "cups-filters, libc6 (>= 2.36)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Absolute destinations (CUPS's directories) go into the package through DESTDIR.
set(CPACK_SET_DESTDIR ON)
include(CPack)
