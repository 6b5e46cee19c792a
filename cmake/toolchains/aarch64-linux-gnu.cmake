# Cross build for 64-bit ARM Linux with Debian's cross compilers
# (crossbuild-essential-arm64) against Debian's multiarch :arm64 packages
# (scripts/setup-arm64.sh installs both). Programs built here run under the
# user-mode emulator, so ctest and the tests' child processes need no binfmt
# registration on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Multiarch: the target's libraries live in /usr/lib/aarch64-linux-gnu of this
# very machine, so the search root stays /; CMAKE_LIBRARY_ARCHITECTURE keeps
# find_package and find_library on the arm64 directories, and pkg-config must
# be told the same.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The emulator runs on the multiarch libraries alone. Pointing it at the cross
# toolchain's sysroot (-L /usr/aarch64-linux-gnu, or QEMU_LD_PREFIX) mixes that
# C library with the multiarch one and hangs every threaded program at start;
# "-L /" means no prefix and overrides a QEMU_LD_PREFIX from the environment.
find_program(MOK_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MOK_QEMU_AARCH64} -L /)
