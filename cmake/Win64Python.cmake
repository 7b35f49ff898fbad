# Cross-building the module for 64-bit Windows without a Windows Python.
#
# The limited-API headers of CPython are the same on every platform except pyconfig.h,
# so the host Python's headers are staged with our Win64 pyconfig.h in its place (a
# quoted #include "pyconfig.h" in Python.h finds the file beside it, so it has to be a
# copy, not an earlier include directory). The import library for python3.dll is made
# with dlltool from python3.def, the committed list of stable-ABI names; linking against
# it is what keeps the module to those names.
#
# Defines the interface target TorqWin64Python: include path, Py_LIMITED_API for 3.9,
# and the import library.

if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
endif()
find_program(TORQ_HOST_PYTHON NAMES python3 python REQUIRED)
execute_process(
    COMMAND "${TORQ_HOST_PYTHON}" -c
        "import sys, sysconfig; assert sys.version_info >= (3, 9); print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE torq_host_python_include
    OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
if(NOT EXISTS "${torq_host_python_include}/Python.h")
    message(FATAL_ERROR "No Python.h in ${torq_host_python_include}: install the Python headers (python3-dev)")
endif()

set(torq_win64_python_dir "${CMAKE_BINARY_DIR}/win64-python")
set(torq_win64_python_src "${CMAKE_CURRENT_LIST_DIR}/win64-python")
file(REMOVE_RECURSE "${torq_win64_python_dir}/include")
file(COPY "${torq_host_python_include}/" DESTINATION "${torq_win64_python_dir}/include"
     PATTERN "pyconfig.h" EXCLUDE)
configure_file("${torq_win64_python_src}/pyconfig.h" "${torq_win64_python_dir}/include/pyconfig.h" COPYONLY)

set(torq_python3_implib "${torq_win64_python_dir}/libpython3.a")
add_custom_command(
    OUTPUT "${torq_python3_implib}"
    COMMAND "${CMAKE_DLLTOOL}" --input-def "${torq_win64_python_src}/python3.def"
            --dllname python3.dll --output-lib "${torq_python3_implib}"
    DEPENDS "${torq_win64_python_src}/python3.def"
    COMMENT "Import library for python3.dll"
    VERBATIM)
add_custom_target(torq_python3_implib DEPENDS "${torq_python3_implib}")

add_library(TorqWin64Python INTERFACE)
target_include_directories(TorqWin64Python SYSTEM INTERFACE "${torq_win64_python_dir}/include")
target_compile_definitions(TorqWin64Python INTERFACE Py_LIMITED_API=0x03090000)
target_link_libraries(TorqWin64Python INTERFACE "${torq_python3_implib}")
add_dependencies(TorqWin64Python torq_python3_implib)
