// Video without a decoder library: this executable lives in a directory of
// its own and runs there, so the loader finds libmok_media.so neither next
// to it, nor in the working directory, nor on the system's search path.
#include <filesystem>

#include <gtest/gtest.h>

#include "ffi/handles.hpp"
#include "mok/mok.h"

namespace {

TEST(NoDecoderLibrary, EnableFailsWithOtherAndVideoStaysOff) {
  ASSERT_FALSE(std::filesystem::exists("libmok_media.so")) << "the test directory must not hold the library";
  mok_client_t* h = mok_connect("127.0.0.1:9");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(mok_enable_video(h), MOK_ERR_OTHER);
  // Nothing was started, so a second attempt fails the same way.
  EXPECT_EQ(mok_enable_video(h), MOK_ERR_OTHER);
  {
    std::lock_guard lock(h->client->inner()->video.mutex);
    EXPECT_EQ(h->client->inner()->video.value, nullptr);
  }
  EXPECT_EQ(mok_disable_video(h), MOK_OK);

  // The client's error carries the loader's message.
  auto r = h->client->enable_video();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, mok::brelo::ErrorKind::Other);
  EXPECT_NE(r.error().message.find("libmok_media.so"), std::string::npos) << r.error().message;
  mok_close(h);
}

}  // namespace
