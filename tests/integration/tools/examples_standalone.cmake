# Installs the SDK into a scratch prefix and builds examples/ on its own
# against it, as a user of the installed package would.
# Inputs: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR; and the build's
# compilers and flags, so a sanitized SDK is consumed by a sanitized host;
# TOOLCHAIN_FILE for a cross build.
file(REMOVE_RECURSE ${WORK_DIR})
foreach(component development runtime)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                          --component ${component}
                  RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "installing the ${component} component failed")
  endif()
endforeach()
set(toolchain)
if(TOOLCHAIN_FILE)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/build -G ${GENERATOR}
                        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix
                        -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
                        "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
                        "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
                        ${toolchain}
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "configuring the examples against the installed SDK failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the examples against the installed SDK failed")
endif()
