# What a Windows host's loader sees of the driver: doved.dll exports QorMain
# and nothing else, qorhost.dll exports err and qorhost_set_log_handler,
# and neither needs any DLL beyond Windows' own but doved.dll's qorhost.dll
# (the compiler's runtimes are linked in).
#
# cmake -DDRIVER=doved.dll -DRUNTIME=qorhost.dll -DOBJDUMP=i686-w64-mingw32-objdump -P check_dll.cmake

cmake_minimum_required(VERSION 3.25)

foreach(var DRIVER RUNTIME OBJDUMP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

# The exported names (the export table's name pointer table) and the
# imported DLLs ("DLL Name" lines) of one DLL.
function(read_dll dll exports_out imports_out)
  execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE text ERROR_VARIABLE errors
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${dll} failed (${status}): ${errors}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${text}")
  set(exports)
  set(imports)
  set(in_names FALSE)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_names TRUE)
    elseif(in_names AND line MATCHES "^\\[ *[0-9]+\\] (.+)$")
      list(APPEND exports "${CMAKE_MATCH_1}")
    elseif(in_names)
      set(in_names FALSE)
    endif()
    if(line MATCHES "^DLL Name: (.+)$")
      string(TOLOWER "${CMAKE_MATCH_1}" name)
      list(APPEND imports "${name}")
    endif()
  endforeach()
  list(SORT exports)
  list(SORT imports)
  set(${exports_out} "${exports}" PARENT_SCOPE)
  set(${imports_out} "${imports}" PARENT_SCOPE)
endfunction()

function(expect what actual expected)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(SEND_ERROR "${what}: [${actual}], expected [${expected}]")
  else()
    message(STATUS "${what}: [${actual}]")
  endif()
endfunction()

# Windows' own DLLs that a DLL of this project may import.
set(system_dlls kernel32.dll msvcrt.dll)

read_dll(${DRIVER} driver_exports driver_imports)
expect("doved.dll exports" "${driver_exports}" "QorMain")
set(expected_imports ${system_dlls} qorhost.dll)
list(SORT expected_imports)
list(REMOVE_DUPLICATES driver_imports)
foreach(dll IN LISTS driver_imports)
  if(NOT dll IN_LIST expected_imports)
    message(SEND_ERROR "doved.dll imports ${dll}, which a Windows host does not have")
  endif()
endforeach()
if(NOT "qorhost.dll" IN_LIST driver_imports)
  message(SEND_ERROR "doved.dll does not import err from qorhost.dll: [${driver_imports}]")
endif()
message(STATUS "doved.dll imports: [${driver_imports}]")

read_dll(${RUNTIME} runtime_exports runtime_imports)
expect("qorhost.dll exports" "${runtime_exports}" "err;qorhost_set_log_handler")
foreach(dll IN LISTS runtime_imports)
  if(NOT dll IN_LIST system_dlls)
    message(SEND_ERROR "qorhost.dll imports ${dll}, which a Windows host does not have")
  endif()
endforeach()
message(STATUS "qorhost.dll imports: [${runtime_imports}]")
