# Cross build for 64-bit Arm with Debian's cross compiler and the arm64 libraries installed beside
# the host's (multiarch): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and headers come from the arm64 multiarch directories (/usr/lib/aarch64-linux-gnu).
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
