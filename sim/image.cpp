// Rendering of the sensor view and the still-image codecs. libjpeg and libpng
// report errors by longjmp/exit hooks; both are caught here and turned into values.
#include "image.hpp"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
#include <png.h>

namespace camsim {
namespace {

std::uint32_t hash32(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return static_cast<std::uint32_t>(x);
}

struct JpegErr {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void jpeg_fail(j_common_ptr cinfo) {
  auto* e = reinterpret_cast<JpegErr*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, e->message);
  std::longjmp(e->jump, 1);
}

void png_fail(png_structp png, png_const_charp msg) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  if (error) *error = msg ? msg : "png error";
  png_longjmp(png, 1);
}

void png_write_cb(png_structp png, png_bytep data, png_size_t len) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + len);
}

}  // namespace

double laser_brightness(bool laser_on, std::uint32_t strength, std::uint32_t exposure_us) {
  if (!laser_on) return 0;
  const double s = std::min<double>(strength, 100) / 80.0;
  const double e = std::min<double>(exposure_us, 100000) / 1000.0;
  return std::clamp(s * e, 0.0, 4.0);
}

GrayImage render_view(const Profile& profile, const RenderOptions& o) {
  GrayImage img;
  img.width = o.width;
  img.height = o.height;
  img.pixels.assign(std::size_t{o.width} * o.height, 0);
  if (o.width == 0 || o.height == 0) return img;

  // Dark background with sensor noise; cheap hash noise keeps this deterministic.
  const std::uint64_t seed = profile.frame * 0x9E3779B97F4A7C15ull;
  for (std::size_t i = 0; i < img.pixels.size(); ++i)
    img.pixels[i] = static_cast<std::uint8_t>(6 + (hash32(seed + i) & 7));

  const double z_span = o.z_top_mm - o.z_bottom_mm;
  const auto row_of = [&](double z) { return (o.z_top_mm - z) / z_span * (o.height - 1); };
  const double peak = 235.0 * std::min(o.brightness, 1.0);
  const double bloom = std::max(0.0, o.brightness - 1.0);  // overexposure widens the line
  const double sigma = 1.2 + 1.5 * bloom;
  const int reach = static_cast<int>(std::ceil(3 * sigma));
  const std::size_t n = profile.points.size();

  if (peak > 0 && n > 0) {
    for (std::uint32_t x = 0; x < o.width; ++x) {
      // Nearest profile point for this column (columns and points both span the view).
      const std::size_t i =
          n == 1 ? 0 : static_cast<std::size_t>(std::lround(double(x) * (n - 1) / std::max(1u, o.width - 1)));
      const Point& p = profile.points[std::min(i, n - 1)];
      if (!p.valid) continue;
      const double r = row_of(p.z);
      const int r0 = static_cast<int>(std::floor(r));
      for (int row = r0 - reach; row <= r0 + reach + 1; ++row) {
        if (row < 0 || row >= static_cast<int>(o.height)) continue;
        const double d = (row - r) / sigma;
        const double v = peak * std::exp(-0.5 * d * d);
        auto& px = img.pixels[std::size_t(row) * o.width + x];
        px = static_cast<std::uint8_t>(std::min(255.0, px + v));
      }
    }
  }

  if (o.mark_seam && profile.seam_found) {
    const Point& root = profile.seam_points[profile.seam_point_idx % 8];
    const long cx = std::lround((root.y + o.fov_mm / 2) / o.fov_mm * (o.width - 1));
    const long cy = std::lround(row_of(root.z));
    for (long d = -12; d <= 12; ++d) {
      const long xs[2] = {cx + d, cx};
      const long ys[2] = {cy, cy + d};
      for (int k = 0; k < 2; ++k) {
        if (xs[k] >= 0 && xs[k] < long(o.width) && ys[k] >= 0 && ys[k] < long(o.height))
          img.pixels[std::size_t(ys[k]) * o.width + std::size_t(xs[k])] = 255;
      }
    }
  }
  return img;
}

Encoded encode_jpeg(const GrayImage& image, int quality) {
  if (image.width == 0 || image.height == 0 || image.pixels.size() < std::size_t{image.width} * image.height)
    return mok::err(std::string("empty image"));
  jpeg_compress_struct cinfo{};
  JpegErr jerr{};
  unsigned char* mem = nullptr;
  unsigned long mem_len = 0;
  cinfo.err = jpeg_std_error(&jerr.mgr);
  jerr.mgr.error_exit = jpeg_fail;
  // Nothing with a destructor lives between setjmp and a possible longjmp.
  if (setjmp(jerr.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return mok::err(std::string(jerr.message));
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &mem, &mem_len);
  cinfo.image_width = image.width;
  cinfo.image_height = image.height;
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality <= 0 ? 85 : std::min(quality, 100), TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.pixels.data() + std::size_t{cinfo.next_scanline} * image.width);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> out(mem, mem + mem_len);
  std::free(mem);
  return out;
}

Encoded encode_png(const GrayImage& image) {
  if (image.width == 0 || image.height == 0 || image.pixels.size() < std::size_t{image.width} * image.height)
    return mok::err(std::string("empty image"));
  std::vector<std::uint8_t> out;
  std::string error;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, png_fail, nullptr);
  if (!png) return mok::err(std::string("png_create_write_struct failed"));
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return mok::err(error.empty() ? std::string("png encoding failed") : error);
  }
  png_set_write_fn(png, &out, png_write_cb, nullptr);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 3);  // snapshots are wanted quickly, not smallest
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < image.height; ++y)
    png_write_row(png, const_cast<png_bytep>(image.pixels.data() + std::size_t{y} * image.width));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

}  // namespace camsim
