# Small helpers for the project's recurring target shapes.

# A shared object whose exports a version script lists. Sanitizer runtimes
# live in the executable, so a sanitized shared object has undefined
# references by design; otherwise every reference must resolve at link time.
#   mok_add_shared_object(<target> MAP <version script> SOURCES <files...>)
function(mok_add_shared_object target)
  cmake_parse_arguments(arg "" "MAP" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${arg_SOURCES})
  target_link_options(${target} PRIVATE -Wl,--version-script=${arg_MAP})
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${target} PROPERTIES LINK_DEPENDS ${arg_MAP})
endfunction()

# A C99 program against libmok.so, registered as test <test name>, for the
# checks of the C interface as a plain C host sees it.
#   mok_add_c_test(<target> <test name> <sources...>)
function(mok_add_c_test target test_name)
  add_executable(${target} ${ARGN})
  set_target_properties(${target} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -Wall -Wextra -pedantic -Werror)
  target_link_libraries(${target} PRIVATE mok::mok)
  if(CMAKE_C_FLAGS MATCHES "-fsanitize=")
    # The sanitized libmok.so needs the C++ parts of the sanitizer runtimes,
    # which only the C++ driver links in.
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  endif()
  add_test(NAME ${test_name} COMMAND ${target})
  set_tests_properties(${test_name} PROPERTIES LABELS capi TIMEOUT 120)
endfunction()
