# The Windows build: the driver and the model-data library as 32-bit DLLs; the programs
# that run them under Wine (wine/) only when asked for.
#
# platform/platform.h resolves to the system headers here, and the DLLs link against the
# system libraries the driver calls: gdi32 (the engine's Eng* calls), winspool (the
# spooler), kernel32, advapi32 (registry), version (version resources), and the C runtime.
# stream/, the tool, the tests and the benchmarks are Linux-only, and so is host/ but for
# the engine and spooler units that wine/ builds its stand-in libraries from.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The driver is a 32-bit Windows library: use the windows preset")
endif()

# winddi.h includes two DirectDraw headers that mingw-w64 does not ship; ours stand in.
include_directories(SYSTEM ${CMAKE_SOURCE_DIR}/platform/win32)

# The compiler's own runtime goes into each DLL, so that loading one needs no DLL but the
# system's (the spooler's process has no libgcc or libstdc++ DLL to give it).
add_link_options(-static-libgcc -static-libstdc++)

# The driver, under the file name the installation gives it. Its four exports come from
# the module-definition file, undecorated; nothing else is exported.
add_library(tq33drv SHARED ${TQ33_DRIVER_SOURCES} driver/tq33kv.def)
set_target_properties(tq33drv PROPERTIES OUTPUT_NAME TQ33KV PREFIX "" SUFFIX ".DLL")
target_link_libraries(tq33drv PRIVATE gdi32 winspool advapi32 version kernel32)

add_subdirectory(modeldata)

# Every build checks what the two DLLs export and import against the fixed lists.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_target(check_dll_tables ALL
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/check_dll_tables.py
          --objdump ${TQ33_OBJDUMP} $<TARGET_FILE:tq33drv> $<TARGET_FILE:tq33modeldata>
  COMMENT "Checking the export and import tables of the DLLs"
  VERBATIM)
add_dependencies(check_dll_tables tq33drv tq33modeldata)

# The programs that run the driver under Wine (`make wine`); built only when asked for.
add_subdirectory(wine)
