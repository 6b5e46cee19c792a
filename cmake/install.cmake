# Install rules, the CMake package (find_package(mok CONFIG) -> mok::mok),
# pkg-config file and Debian packages through CPack.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS mok EXPORT mokTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/mok
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(FILES ${MOK_GENERATED_INCLUDE_DIR}/mok/mok_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mok COMPONENT development)

# The integrator documents travel with the headers.
install(FILES ${PROJECT_SOURCE_DIR}/docs/threading.md ${PROJECT_SOURCE_DIR}/docs/wire-protocol.md
  ${PROJECT_SOURCE_DIR}/docs/troubleshooting.md ${PROJECT_SOURCE_DIR}/docs/c-conventions.md
  ${PROJECT_SOURCE_DIR}/docs/units.md ${PROJECT_SOURCE_DIR}/docs/tracking.md ${PROJECT_SOURCE_DIR}/docs/tracking-frames.svg
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)

# What mokctl record writes and mok-camsim --replay reads.
install(FILES ${PROJECT_SOURCE_DIR}/docs/recording-format.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools)

set(MOK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/mok)
install(EXPORT mokTargets NAMESPACE mok:: DESTINATION ${MOK_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/mokConfig.cmake.in
  ${PROJECT_BINARY_DIR}/mokConfig.cmake INSTALL_DESTINATION ${MOK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mokConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mokConfig.cmake ${PROJECT_BINARY_DIR}/mokConfigVersion.cmake
  DESTINATION ${MOK_CMAKE_DIR} COMPONENT development)

# The .pc file finds its prefix relative to itself, so a staged or
# relocated install works as well as the packaged one.
file(RELATIVE_PATH MOK_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/mok.pc.in ${PROJECT_BINARY_DIR}/mok.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mok.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# ---- Debian packages -------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libmok)
set(CPACK_PACKAGE_VENDOR "libmok developers")
set(CPACK_PACKAGE_CONTACT "libmok developers <dev@libmok.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Client SDK for a networked laser line-scanning camera")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
# CPack asks dpkg for the architecture, which names the build machine's; a
# cross build names its target's (arm64 for aarch64-linux-gnu).
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE mok_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT mok_deb_arch)
    message(FATAL_ERROR "dpkg-architecture (Debian: dpkg-dev) cannot name the architecture of "
                        "${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${mok_deb_arch})
endif()
set(CPACK_COMPONENTS_ALL runtime media development tools python)
if(TARGET mok-bridge)
  list(APPEND CPACK_COMPONENTS_ALL bridge)
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libmok1)
# A shlibs file and the ldconfig trigger, as Debian expects of a library package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libstdc++6")
# libmok loads the decoder library at run time and only for video.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "libmok-media")
# The stand-in decoder library on FFmpeg.
set(CPACK_DEBIAN_MEDIA_PACKAGE_NAME libmok-media)
set(CPACK_DEBIAN_MEDIA_PACKAGE_DEPENDS "libc6, libstdc++6, libavcodec59, libavformat59, libswscale6, libavutil57")
set(CPACK_COMPONENT_MEDIA_DESCRIPTION "Video decoder library for libmok (libmok_media.so, on FFmpeg)")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmok-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libmok1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME mok-tools)
# The DDS bridge in a package of its own: Cyclone DDS stays out of the others.
set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME mok-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS "libmok1 (= ${PROJECT_VERSION}), libddsc0debian")
# mokctl calibrate and libmok_calib_c.so carry Ceres (static in Debian) and
# need what it links at run time.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libmok1 (= ${PROJECT_VERSION}), libmok-media (= ${PROJECT_VERSION}), libjpeg62-turbo, libpng16-16, libgoogle-glog0v6, libgflags2.2, libcholmod3, libcxsparse3, libgomp1, liblapack3 | liblapack.so.3, libblas3 | libblas.so.3")
# Pure Python over libmok1 (python/CMakeLists.txt installs it).
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-mok)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libmok1 (= ${PROJECT_VERSION}), python3 (>= 3.9), python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Python package mok for the camera SDK (ctypes, numpy)")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
include(CPack)
