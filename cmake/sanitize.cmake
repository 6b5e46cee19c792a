# MOK_SANITIZE, the one switch for sanitizer builds: its list goes to
# -fsanitize= for every C and C++ compile and link of the project. The flags
# join CMAKE_<LANG>_FLAGS, so the rules that must know whether the build is
# sanitized (shared objects leave sanitizer symbols undefined, C programs link
# with the C++ driver) read them there. A fuzz build adds libFuzzer's
# coverage instrumentation to the same flags.
if(MOK_SANITIZE)
  set(mok_san "-fsanitize=${MOK_SANITIZE}")
  set(mok_san_compile "${mok_san} -fno-omit-frame-pointer")
  if(MOK_SANITIZE MATCHES "undefined")
    string(APPEND mok_san_compile " -fno-sanitize-recover=all")
  endif()
  if(MOK_BUILD_FUZZ)
    set(mok_san_compile "-fsanitize=${MOK_SANITIZE},fuzzer-no-link -fno-omit-frame-pointer")
  endif()
  foreach(lang C CXX)
    string(APPEND CMAKE_${lang}_FLAGS " ${mok_san_compile}")
  endforeach()
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${mok_san}")
  endforeach()
endif()
