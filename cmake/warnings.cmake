# Warning flags shared by every target of the project.
add_library(mok_warnings INTERFACE)
target_compile_options(mok_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic>)
if(MOK_WERROR)
  target_compile_options(mok_warnings INTERFACE -Werror)
endif()
