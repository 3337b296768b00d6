# SPDX-License-Identifier: Apache-2.0
# The Windows build: the driver and the model-data library as 32-bit DLLs (the windows
# preset) or 64-bit ones (windows64); the programs that run them under Wine (wine/) only
# when asked for.
#
# platform/platform.h resolves to the system headers here, and the DLLs link against the
# system libraries the driver calls: gdi32 (the engine's Eng* calls), winspool (the
# spooler), kernel32, advapi32 (registry), version (version resources), and the C runtime.
# stream/, the tool, the tests and the benchmarks are Linux-only, and so is host/ but for
# the engine and spooler units that wine/ builds its stand-in libraries from.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TQ33_WINDOWS_ARCH x86)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TQ33_WINDOWS_ARCH x64)
else()
  message(FATAL_ERROR "The driver is a 32-bit or 64-bit Windows library: use the windows or windows64 preset")
endif()

# A module-definition file maps each export onto its stdcall symbol (Name@bytes), so that
# the 32-bit link fails if a convention or an argument size changes. Only 32-bit x86
# decorates; the 64-bit build exports the same names from a copy without the symbols.
function(tq33_module_definition variable source)
  if(TQ33_WINDOWS_ARCH STREQUAL x86)
    set(${variable} ${source} PARENT_SCOPE)
    return()
  endif()
  file(READ ${source} text)
  string(REGEX REPLACE " = [A-Za-z_0-9]+@[0-9]+" "" text "${text}")
  get_filename_component(name ${source} NAME)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/def/${name} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  set(${variable} ${CMAKE_BINARY_DIR}/def/${name} PARENT_SCOPE)
endfunction()

# winddi.h includes two DirectDraw headers that mingw-w64 does not ship; ours stand in.
include_directories(SYSTEM ${CMAKE_SOURCE_DIR}/platform/win32)

# The compiler's own runtime goes into each DLL, so that loading one needs no DLL but the
# system's (the spooler's process has no libgcc or libstdc++ DLL to give it).
add_link_options(-static-libgcc -static-libstdc++)

# The driver, under the file name the installation gives it. Its four exports come from
# the module-definition file, undecorated; nothing else is exported.
tq33_module_definition(TQ33_DRIVER_DEF ${CMAKE_SOURCE_DIR}/driver/tq33kv.def)
add_library(tq33drv SHARED ${TQ33_DRIVER_SOURCES} ${TQ33_DRIVER_DEF})
set_target_properties(tq33drv PROPERTIES OUTPUT_NAME TQ33KV PREFIX "" SUFFIX ".DLL")
target_link_libraries(tq33drv PRIVATE gdi32 winspool advapi32 version kernel32)

add_subdirectory(modeldata)

# Every build checks what the two DLLs export and import against the fixed lists.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_target(check_dll_tables ALL
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/check_dll_tables.py
          --objdump ${TQ33_OBJDUMP} --arch ${TQ33_WINDOWS_ARCH} $<TARGET_FILE:tq33drv> $<TARGET_FILE:tq33modeldata>
  COMMENT "Checking the export and import tables of the DLLs"
  VERBATIM)
add_dependencies(check_dll_tables tq33drv tq33modeldata)

# The programs that run the driver under Wine (`make wine`); built only when asked for.
add_subdirectory(wine)
