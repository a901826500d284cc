# Cross-compiling (cmake/aarch64-linux-gnu.cmake), FindPython leaves the extension suffix of the
# target's interpreter unset, and an extension module would be named NAME.so; the interpreter (run
# under an emulator) tells it. Included after find_package(Python).
if(CMAKE_CROSSCOMPILING AND NOT Python_SOABI)
    execute_process(
        COMMAND "${Python_EXECUTABLE}" -c "import sysconfig; print(sysconfig.get_config_var('SOABI'))"
        OUTPUT_VARIABLE Python_SOABI OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE _soabi_status)
    if(NOT _soabi_status EQUAL 0 OR NOT Python_SOABI)
        message(FATAL_ERROR "could not ask ${Python_EXECUTABLE} for its SOABI")
    endif()
endif()
