# Warning flags shared by every target of the project.
add_library(mok_warnings INTERFACE)
target_compile_options(mok_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic>)
# g++ 12, once it inlines a replaced or class-specific operator new and delete
# (Asio's coroutine frames, the allocation-counting tests), takes the pair for
# a mismatch; the optimised aarch64 build meets it. Fixed in g++ 13.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(mok_warnings INTERFACE $<$<COMPILE_LANGUAGE:CXX>:-Wno-mismatched-new-delete>)
endif()
if(MOK_WERROR)
  target_compile_options(mok_warnings INTERFACE -Werror)
endif()
