# The cross build's Python: the folder of a Windows CPython install, given as
# TESSAVOR_WINDOWS_PYTHON_DIR (see cmake/mingw-w64-i686.cmake). Its headers
# are used as they are; the import library is made from its python3X.dll with
# gendef and dlltool. Python3_add_library is defined here for the one use
# CMakeLists.txt makes of it: a MODULE named as that interpreter imports it
# (m4r_tessavor.cp36-win32.pyd for a 32-bit 3.6).
set(python_dir "${TESSAVOR_WINDOWS_PYTHON_DIR}")
file(GLOB python_dlls "${python_dir}/python3[0-9]*.dll")
list(LENGTH python_dlls python_dll_count)
if(NOT python_dll_count EQUAL 1 OR NOT EXISTS "${python_dir}/include/Python.h")
    message(FATAL_ERROR "TESSAVOR_WINDOWS_PYTHON_DIR=${python_dir}: not a Windows CPython folder with include/ and one python3X.dll")
endif()
get_filename_component(python_dll_name "${python_dlls}" NAME_WE)        # python36
string(REGEX REPLACE "^python" "" python_version "${python_dll_name}")   # 36

# A 64-bit Python cannot load a 32-bit module, nor the other way round.
execute_process(COMMAND "${CMAKE_OBJDUMP}" -f "${python_dlls}" OUTPUT_VARIABLE python_dll_format ERROR_QUIET)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(python_platform win32)
    set(python_dll_expected pei-i386)
else()
    set(python_platform win_amd64)
    set(python_dll_expected pei-x86-64)
endif()
if(NOT python_dll_format MATCHES "${python_dll_expected}")
    message(FATAL_ERROR "${python_dlls} is not a ${python_dll_expected} DLL, as this build needs")
endif()

find_program(TESSAVOR_GENDEF gendef)
if(NOT TESSAVOR_GENDEF)
    message(FATAL_ERROR "gendef (Debian's mingw-w64-tools) makes the import library of the Python DLL")
endif()
set(python_import_lib "${CMAKE_BINARY_DIR}/lib${python_dll_name}.a")
execute_process(COMMAND "${TESSAVOR_GENDEF}" - "${python_dlls}"
                OUTPUT_FILE "${CMAKE_BINARY_DIR}/${python_dll_name}.def" ERROR_VARIABLE log RESULT_VARIABLE failed)
if(NOT failed)
    execute_process(COMMAND "${CMAKE_DLLTOOL}" --dllname "${python_dll_name}.dll"
                            --input-def "${CMAKE_BINARY_DIR}/${python_dll_name}.def" --output-lib "${python_import_lib}"
                    ERROR_VARIABLE log RESULT_VARIABLE failed)
endif()
if(failed)
    message(FATAL_ERROR "could not make the import library of ${python_dlls}:\n${log}")
endif()

function(Python3_add_library name type)
    cmake_parse_arguments(PARSE_ARGV 2 lib "WITH_SOABI" "" "")
    add_library(${name} ${type} ${lib_UNPARSED_ARGUMENTS})
    target_include_directories(${name} SYSTEM PRIVATE "${python_dir}/include")
    target_link_libraries(${name} PRIVATE "${python_import_lib}")
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".cp${python_version}-${python_platform}.pyd")
endfunction()
