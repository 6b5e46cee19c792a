# Third-party dependencies, all from Debian packages (scripts/setup.sh installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

# Standalone Asio, header-only: the asynchronous runtime under the transport.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(mok_asio INTERFACE)
target_include_directories(mok_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(mok_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # clang 14 with libstdc++ is not detected as coroutine-capable by Asio 1.22.
  target_compile_definitions(mok_asio INTERFACE ASIO_HAS_CO_AWAIT=1 ASIO_HAS_STD_COROUTINE=1)
  # clang 14's -fsanitize=function (part of undefined) cannot emit its
  # prologue data for split coroutine functions ("Cannot represent a
  # difference across sections"); a no-op when not sanitizing.
  target_compile_options(mok_asio INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-fno-sanitize=function>)
endif()
target_link_libraries(mok_asio INTERFACE Threads::Threads)
if(MOK_IO_URING)
  # liburing: Asio's io_uring backend in place of epoll. Asio picks its
  # backend when compiled, so such a build has no epoll to fall back on.
  pkg_check_modules(URING REQUIRED IMPORTED_TARGET liburing)
  target_compile_definitions(mok_asio INTERFACE ASIO_HAS_IO_URING=1 ASIO_DISABLE_EPOLL=1)
  target_link_libraries(mok_asio INTERFACE PkgConfig::URING)
endif()

# {fmt}, header-only: display texts and log lines (libstdc++ 12 has no <format>).
find_package(fmt REQUIRED)
add_library(mok_fmt INTERFACE)
target_compile_definitions(mok_fmt INTERFACE FMT_HEADER_ONLY=1)
target_include_directories(mok_fmt SYSTEM INTERFACE $<TARGET_PROPERTY:fmt::fmt-header-only,INTERFACE_INCLUDE_DIRECTORIES>)

# Eigen and nlohmann's JSON, header-only: the tracking module's geometry and
# its mounting file. Included as system headers so their warnings stay theirs.
find_package(Eigen3 3.3 REQUIRED NO_MODULE)
find_package(nlohmann_json 3 REQUIRED)
add_library(mok_eigen INTERFACE)
target_include_directories(mok_eigen SYSTEM INTERFACE $<TARGET_PROPERTY:Eigen3::Eigen,INTERFACE_INCLUDE_DIRECTORIES>)
add_library(mok_json INTERFACE)
target_include_directories(mok_json SYSTEM INTERFACE
  $<TARGET_PROPERTY:nlohmann_json::nlohmann_json,INTERFACE_INCLUDE_DIRECTORIES>)

if(MOK_BUILD_TOOLS OR MOK_BUILD_TESTS)
  # FFmpeg: the stand-in decoder library and the simulator's video encoder.
  pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libswscale libavutil)
  find_package(JPEG REQUIRED)
  find_package(PNG REQUIRED)
  find_package(CLI11 CONFIG QUIET)
endif()
if(MOK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(MOK_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
