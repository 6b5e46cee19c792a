// Snapshot images: the laser line lands where the profile says, and the
// encoders produce files that libjpeg and libpng read back at full size.
#include "sim/image.hpp"

#include <csetjmp>
#include <cstdio>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>

namespace camsim {
namespace {

struct Decoded {
  bool ok = false;
  std::uint32_t width = 0, height = 0, components = 0;
  std::vector<std::uint8_t> pixels;
};

struct JpegFail {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

Decoded decode_jpeg(const std::vector<std::uint8_t>& data) {
  Decoded d;
  jpeg_decompress_struct c{};
  JpegFail err{};
  c.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = [](j_common_ptr ci) { std::longjmp(reinterpret_cast<JpegFail*>(ci->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&c);
    return Decoded{};
  }
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, data.data(), data.size());
  jpeg_read_header(&c, TRUE);
  jpeg_start_decompress(&c);
  d.width = c.output_width;
  d.height = c.output_height;
  d.components = static_cast<std::uint32_t>(c.output_components);
  d.pixels.resize(std::size_t{d.width} * d.height * d.components);
  while (c.output_scanline < c.output_height) {
    JSAMPROW row = d.pixels.data() + std::size_t{c.output_scanline} * d.width * d.components;
    jpeg_read_scanlines(&c, &row, 1);
  }
  jpeg_finish_decompress(&c);
  jpeg_destroy_decompress(&c);
  d.ok = true;
  return d;
}

Decoded decode_png(const std::vector<std::uint8_t>& data) {
  Decoded d;
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, data.data(), data.size())) return d;
  img.format = PNG_FORMAT_GRAY;
  d.width = img.width;
  d.height = img.height;
  d.components = 1;
  d.pixels.resize(PNG_IMAGE_SIZE(img));
  d.ok = png_image_finish_read(&img, nullptr, d.pixels.data(), 0, nullptr) != 0;
  return d;
}

Profile flat_profile(std::uint32_t n, float z) {
  Profile p;
  p.points.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) p.points[i] = Point{-40.0f + 80.0f * i / (n - 1), z, true};
  return p;
}

// Row of the brightest pixel in a column.
std::uint32_t brightest_row(const GrayImage& img, std::uint32_t x) {
  std::uint32_t best = 0;
  for (std::uint32_t y = 1; y < img.height; ++y)
    if (img.pixels[y * img.width + x] > img.pixels[best * img.width + x]) best = y;
  return best;
}

TEST(Image, LaserLineSitsAtTheProfileHeight) {
  RenderOptions o;
  o.width = 200;
  o.height = 100;
  o.z_top_mm = 30;
  o.z_bottom_mm = -20;
  const GrayImage img = render_view(flat_profile(200, 5.0f), o);
  ASSERT_EQ(img.pixels.size(), 200u * 100u);
  // z 5 is half way between 30 and -20: row (30 - 5) / 50 * 99 = 49.5.
  for (std::uint32_t x : {0u, 100u, 199u}) {
    const auto r = brightest_row(img, x);
    EXPECT_GE(r, 49u);
    EXPECT_LE(r, 50u);
    EXPECT_GT(img.pixels[r * 200 + x], 150);
    EXPECT_LT(img.pixels[10 * 200 + x], 30);  // background stays dark
  }
}

TEST(Image, LaserOffShowsNoLine) {
  RenderOptions o;
  o.width = 64;
  o.height = 64;
  o.brightness = laser_brightness(false, 80, 1000);
  const GrayImage img = render_view(flat_profile(64, 0.0f), o);
  for (std::uint8_t px : img.pixels) ASSERT_LT(px, 30);
  EXPECT_GT(laser_brightness(true, 80, 1000), 0.9);
  EXPECT_LT(laser_brightness(true, 80, 100), 0.2);
}

TEST(Image, JpegAndPngDecodeAtFullSize) {
  SceneConfig c;
  c.point_count = 320;
  RenderOptions o;
  o.width = 320;
  o.height = 240;
  o.mark_seam = true;
  const GrayImage img = render_view(generate_profile(c, 1, 0.1), o);

  auto jpeg = encode_jpeg(img, 90);
  ASSERT_TRUE(jpeg) << jpeg.error();
  ASSERT_GE(jpeg->size(), 3u);
  EXPECT_EQ((*jpeg)[0], 0xFF);
  EXPECT_EQ((*jpeg)[1], 0xD8);
  EXPECT_EQ((*jpeg)[2], 0xFF);
  const Decoded dj = decode_jpeg(*jpeg);
  ASSERT_TRUE(dj.ok);
  EXPECT_EQ(dj.width, 320u);
  EXPECT_EQ(dj.height, 240u);
  EXPECT_EQ(dj.components, 1u);

  auto png = encode_png(img);
  ASSERT_TRUE(png) << png.error();
  const std::uint8_t sig[] = {0x89, 0x50, 0x4E, 0x47};
  ASSERT_TRUE(std::equal(sig, sig + 4, png->begin()));
  const Decoded dp = decode_png(*png);
  ASSERT_TRUE(dp.ok);
  EXPECT_EQ(dp.width, 320u);
  EXPECT_EQ(dp.height, 240u);
  EXPECT_EQ(dp.pixels, img.pixels);  // lossless
}

TEST(Image, EmptyImagesAreRefusedNotCrashed) {
  GrayImage empty;
  EXPECT_FALSE(encode_jpeg(empty, 80));
  EXPECT_FALSE(encode_png(empty));
  GrayImage short_buffer{10, 10, std::vector<std::uint8_t>(50)};
  EXPECT_FALSE(encode_png(short_buffer));
}

}  // namespace
}  // namespace camsim
