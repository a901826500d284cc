# Toolchain for Linux on aarch64, cross-compiled on an x86-64 Debian host:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DPython_EXECUTABLE=... (or the
#   environment variable CMAKE_TOOLCHAIN_FILE, which a build frontend passes on to CMake).
#
# The compiler is Debian's cross compiler (g++-aarch64-linux-gnu) with its own arm64 C library and C++
# runtime, so that the module links against the same glibc as the x86-64 build. Only the interpreter
# comes from elsewhere: an arm64 Debian userland unpacked into the folder that the environment
# variable FERROVANE_AARCH64_ROOT names (.ci/aarch64.sh makes it), whose interpreters run under
# qemu-aarch64. Python_EXECUTABLE is one of them (its version picks the headers); FindPython takes
# the headers from that folder through its python3.X-config.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(FERROVANE_AARCH64_ROOT "$ENV{FERROVANE_AARCH64_ROOT}")
if(NOT IS_DIRECTORY "${FERROVANE_AARCH64_ROOT}/usr/include")
    message(FATAL_ERROR "FERROVANE_AARCH64_ROOT must name an arm64 userland with the interpreters' "
                        "headers (made by .ci/aarch64.sh), not '${FERROVANE_AARCH64_ROOT}'")
endif()
set(Python_ROOT_DIR "${FERROVANE_AARCH64_ROOT}/usr")
# Debian's python3.X/pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>. The folder's
# /usr/include cannot be searched for it, as its C library headers would then hide the cross
# compiler's; a folder of its own holds links to the interpreters' multiarch headers alone.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${FERROVANE_AARCH64_ROOT}/opt/ferrovane/include")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${FERROVANE_AARCH64_ROOT}/opt/ferrovane/include")
