# Runs the sweep generator on a header whose new function takes a type it
# has never seen; the generator must refuse rather than skip the function.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/mok_new.h
  "MOK_API int32_t mok_new_thing(struct mok_unknown_layout layout, mok_client_t *client);\n")
execute_process(COMMAND ${PYTHON} ${GEN} ${WORK} ${WORK}/out.c
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "the generator accepted a parameter type it cannot call")
endif()
if(NOT err MATCHES "mok_unknown_layout")
  message(FATAL_ERROR "the refusal does not name the type: ${err}")
endif()
