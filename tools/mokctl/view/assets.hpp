// The page's files, compiled into mokctl (generated from view/assets/ by
// embed_assets.cmake), so the viewer needs no network and no install tree.
#pragma once

#include <cstddef>
#include <string_view>

namespace mokctl::view {

struct Asset {
  std::string_view path;  // as requested, e.g. "/viewer.js"
  std::string_view type;  // MIME type
  std::string_view body;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;

}  // namespace mokctl::view
