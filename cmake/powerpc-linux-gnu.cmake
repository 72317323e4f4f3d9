# SPDX-License-Identifier: MIT
# CMake toolchain file for the board, a 32-bit big-endian PowerPC, with
# Debian's cross toolchain (g++-powerpc-linux-gnu, libc6-dev-powerpc-cross):
#
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
#         -DVEMRA_TARGET_PREFIX=$PWD/.cache/powerpc/usr
#
# VEMRA_TARGET_PREFIX lists prefixes (PREFIX/include, PREFIX/lib) of target
# libraries built outside Debian, such as libi2c from scripts/cross-deps.sh.
# Libraries and headers are searched for only there and in the cross C
# library (/usr/powerpc-linux-gnu), never on the host; the compiler and
# the linker see those prefixes too, as they would a sysroot's.
#
# With qemu-ppc installed, target programs (the unit tests) run under
# user-mode emulation, dynamically linked against the cross C library.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(VEMRA_CROSS_TRIPLE powerpc-linux-gnu)
set(VEMRA_CROSS_LIBC /usr/${VEMRA_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${VEMRA_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEMRA_CROSS_TRIPLE}-g++)

set(VEMRA_TARGET_PREFIX "" CACHE STRING
	"Prefixes of target libraries not in the cross C library (list)")

list(APPEND CMAKE_FIND_ROOT_PATH ${VEMRA_CROSS_LIBC})
set(cflags "")
# The board's kernel runs 4 KiB pages. Segments aligned to the PowerPC
# default of 64 KiB would pad every program on flash by up to 64 KiB of
# zeros (a 20 KiB launcher took 67 KiB); aligned to 4 KiB, a program
# takes the size of its contents.
set(ldflags " -Wl,-z,max-page-size=0x1000")
foreach(prefix IN LISTS VEMRA_TARGET_PREFIX)
	list(APPEND CMAKE_FIND_ROOT_PATH ${prefix})
	string(APPEND cflags " -isystem ${prefix}/include")
	string(APPEND ldflags " -L${prefix}/lib")
endforeach()
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
# Read more than once per configuration: set, never append.
set(CMAKE_C_FLAGS_INIT "${cflags}")
set(CMAKE_CXX_FLAGS_INIT "${cflags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ldflags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ldflags}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VEMRA_QEMU_PPC qemu-ppc)
if(VEMRA_QEMU_PPC)
	set(CMAKE_CROSSCOMPILING_EMULATOR ${VEMRA_QEMU_PPC} -L ${VEMRA_CROSS_LIBC})
endif()
