// CSV and PLY texts of the profile history; JPEG encoding through libjpeg-turbo.
#include "exports.hpp"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "../session.hpp"

namespace mokctl::view {

std::string history_csv(const std::vector<Profile>& profiles) {
  std::string out = "t_s,pts_us,profile,y_mm,z_mm\n";
  for (std::size_t k = 0; k < profiles.size(); ++k) {
    const Profile& p = profiles[k];
    for (const YZ& q : p.points) {
      out += format("%.6f,%llu,%zu,%.4f,%.4f\n", p.t_s, static_cast<unsigned long long>(p.pts), k, q.y, q.z);
    }
  }
  return out;
}

std::string history_ply(const std::vector<Profile>& profiles) {
  std::size_t n = 0;
  for (const Profile& p : profiles) n += p.points.size();
  std::string out = format(
      "ply\nformat ascii 1.0\ncomment mokctl view: x = y (mm), y = time (s), z = z (mm)\n"
      "element vertex %zu\nproperty float x\nproperty float y\nproperty float z\n"
      "end_header\n",
      n);
  const double t0 = profiles.empty() ? 0 : profiles.front().t_s;
  for (const Profile& p : profiles) {
    for (const YZ& q : p.points) out += format("%.4f %.6f %.4f\n", q.y, p.t_s - t0, q.z);
  }
  return out;
}

namespace {

struct ErrorJump {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

}  // namespace

std::vector<std::uint8_t> encode_jpeg(const PixelView& view, int quality) {
  if (!view.data || view.width <= 0 || view.height <= 0) return {};
  jpeg_compress_struct c{};
  ErrorJump err{};
  c.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = [](j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorJump*>(info->err)->jump, 1); };
  err.mgr.output_message = [](j_common_ptr) {};
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  std::vector<std::uint8_t> out;
  // Nothing with a destructor lives between setjmp and a longjmp back to it.
  if (setjmp(err.jump) == 0) {
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = static_cast<JDIMENSION>(view.width);
    c.image_height = static_cast<JDIMENSION>(view.height);
    c.input_components = view.channels;
    c.in_color_space = view.channels == 1 ? JCS_GRAYSCALE : view.channels == 3 ? JCS_RGB : JCS_EXT_RGBA;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
      JSAMPROW row = const_cast<JSAMPROW>(view.data + static_cast<std::ptrdiff_t>(c.next_scanline) * view.stride);
      jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    out.assign(mem, mem + size);
  }
  jpeg_destroy_compress(&c);
  std::free(mem);
  return out;
}

}  // namespace mokctl::view
