# mokctl view, the live page: included by the mokctl directory, whose target
# it extends. The web server is our own on Asio (http_server.*); the page's
# files are compiled in.
file(GLOB view_assets CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/assets/*)
set(view_assets_cpp ${CMAKE_CURRENT_BINARY_DIR}/view/view_assets.cpp)
add_custom_command(
  OUTPUT ${view_assets_cpp}
  COMMAND ${CMAKE_COMMAND} -DASSET_DIR=${CMAKE_CURRENT_LIST_DIR}/assets -DOUTPUT=${view_assets_cpp}
          -P ${CMAKE_CURRENT_LIST_DIR}/embed_assets.cmake
  DEPENDS ${view_assets} ${CMAKE_CURRENT_LIST_DIR}/embed_assets.cmake
  COMMENT "Embedding the viewer's page")
target_sources(mokctl PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/cmd_view.cpp
  ${CMAKE_CURRENT_LIST_DIR}/view_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_server.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_link.cpp
  ${CMAKE_CURRENT_LIST_DIR}/live_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/status_json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exports.cpp
  ${CMAKE_CURRENT_LIST_DIR}/access.cpp
  ${view_assets_cpp})
set_source_files_properties(${view_assets_cpp} PROPERTIES INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(mokctl PRIVATE mok_asio JPEG::JPEG)
