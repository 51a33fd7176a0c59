# What a host's loader sees of the driver: QorMain is its only export, its
# err is the host runtime's (version QORHOST_1.0, never the C library's
# err(3)), and it names the runtime with a search path that finds it.
#
# cmake -DDRIVER=libdoved.so -DRUNTIME=libqorhost.so -DNM=nm -DREADELF=readelf -P check_exports.cmake

foreach(var DRIVER RUNTIME NM READELF)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

function(run_tool out)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${status}): ${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Defined dynamic symbols: the name before any @version.
run_tool(defined ${NM} -D --defined-only ${DRIVER})
string(REGEX MATCHALL "[^\n]+" lines "${defined}")
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
    list(APPEND names "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT names)
if(NOT names STREQUAL "QorMain")
  message(FATAL_ERROR "libdoved.so exports [${names}], expected QorMain alone:\n${defined}")
endif()
if(NOT defined MATCHES " T QorMain\n")
  message(FATAL_ERROR "QorMain is not an unversioned function:\n${defined}")
endif()

# Undefined err, bound by version to the host runtime.
run_tool(dynsyms ${READELF} -W --dyn-syms ${DRIVER})
string(REGEX MATCHALL "[^\n]* UND err(@[^ \n]*)?[^\n]*" err_refs "${dynsyms}")
list(LENGTH err_refs err_count)
if(NOT err_count EQUAL 1 OR NOT err_refs MATCHES " UND err@QORHOST_1\\.0 ")
  message(FATAL_ERROR "libdoved.so's err is not err@QORHOST_1.0: [${err_refs}]")
endif()
if(dynsyms MATCHES "err@GLIBC")
  message(FATAL_ERROR "libdoved.so refers to the C library's err:\n${dynsyms}")
endif()

# The runtime defines the version the driver asks for.
run_tool(runtime_syms ${READELF} -W --dyn-syms ${RUNTIME})
if(NOT runtime_syms MATCHES " FUNC +GLOBAL +DEFAULT +[0-9]+ err@@QORHOST_1\\.0")
  message(FATAL_ERROR "libqorhost.so does not define err@@QORHOST_1.0:\n${runtime_syms}")
endif()

# NEEDED libqorhost.so, and a search path in which it is found.
run_tool(dynamic ${READELF} -d ${DRIVER})
if(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libqorhost\\.so\\]")
  message(FATAL_ERROR "libdoved.so does not need libqorhost.so:\n${dynamic}")
endif()
if(NOT dynamic MATCHES "\\(RUNPATH\\)[^\n]*\\[([^]\n]*)\\]")
  message(FATAL_ERROR "libdoved.so has no RUNPATH:\n${dynamic}")
endif()
string(REPLACE ":" ";" runpath "${CMAKE_MATCH_1}")
get_filename_component(driver_dir "${DRIVER}" DIRECTORY)
get_filename_component(runtime_real "${RUNTIME}" REALPATH)
set(found FALSE)
foreach(dir IN LISTS runpath)
  string(REPLACE "$ORIGIN" "${driver_dir}" dir "${dir}")
  if(EXISTS "${dir}/libqorhost.so")
    get_filename_component(candidate "${dir}/libqorhost.so" REALPATH)
    if(candidate STREQUAL runtime_real)
      set(found TRUE)
    endif()
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "no RUNPATH entry of libdoved.so [${runpath}] holds ${RUNTIME}")
endif()

message(STATUS "libdoved.so: exports QorMain alone, err@QORHOST_1.0 from a runtime its RUNPATH finds")
