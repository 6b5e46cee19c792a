// mokctl snapshot: one still image, saved as the camera sent it (a raw grey
// image also as PNG when the file name asks for it).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.hpp"
#include "output_files.hpp"

namespace mokctl {
namespace {

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

void add_snapshot(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address, out, format;
    std::int32_t format_code = MOK_IMAGE_RAW, quality = 0;
    bool mark_seam = false;
  };
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("snapshot", "Take one still image and save it as received (JPEG, PNG or raw).");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("-o,--output", a->out,
                  "File to write (default snapshot.jpg/.png/.raw by format); a raw 8-bit image "
                  "is converted when the name ends in .png");
  auto* format_opt =
      cmd->add_option("--format", a->format,
                      "Image format to ask for: raw (8-bit grey of the reported sensor size), jpeg or png "
                      "(format code 0, 1 or 2; default raw)")
          ->check(CLI::IsMember({"raw", "jpeg", "png"}));
  cmd->add_option("--format-code", a->format_code,
                  "Image format as the camera's number, passed as it is (0 to 2147483647; --format names "
                  "the common ones)")
      ->check(CLI::Range(0, 2147483647))
      ->excludes(format_opt);
  cmd->add_option("--quality", a->quality,
                  "JPEG quality, passed to the camera as it is (0 to 2147483647; default 0; the simulator "
                  "takes 1 to 100, 0 meaning 85)")
      ->check(CLI::Range(0, 2147483647));
  cmd->add_flag("--mark-seam", a->mark_seam, "Ask for the found seam to be drawn on the image");
  cmd->callback([&g, &run, a] {
    run = [&g, a] {
      Session s(a->address, g);
      s.wait_params();  // raw images take their size from the reported registers
      const std::int32_t image_format = a->format == "raw"    ? MOK_IMAGE_RAW
                                        : a->format == "jpeg" ? MOK_IMAGE_JPEG
                                        : a->format == "png"  ? MOK_IMAGE_PNG
                                                              : a->format_code;
      s.run("request a snapshot", [&] { s.client().snapshot(image_format, a->mark_seam, a->quality); });
      auto image = s.client().recv_snapshot_image(s.timeout());
      if (!image) {
        throw Failure(kTimeout,
                      format("The camera at %s sent no snapshot within %.1f s.", a->address.c_str(), g.timeout_s));
      }
      std::string path = a->out.empty() ? std::string("snapshot.") + image->extension() : a->out;
      auto bytes = image->data();
      const bool raw = image->format() == mok::ImageFormat::Raw;
      const std::size_t pixels = static_cast<std::size_t>(image->width()) * image->height();
      if (raw && ends_with(path, ".png") && pixels > 0 && bytes.size() == pixels) {
        // One byte per pixel: grey levels, which a PNG shows as they are.
        write_png(path, PixelView{bytes.data(), static_cast<int>(image->width()),
                                  static_cast<int>(image->height()), static_cast<int>(image->width()), 1});
        std::printf("wrote %s (raw %ux%u grey, converted to PNG)\n", path.c_str(), image->width(),
                    image->height());
        return;
      }
      write_bytes(path, bytes.data(), bytes.size());
      if (raw) {
        std::printf("wrote %s (raw %ux%u, %zu bytes)\n", path.c_str(), image->width(), image->height(),
                    bytes.size());
      } else {
        std::printf("wrote %s (%s, %zu bytes)\n", path.c_str(),
                    image->format() == mok::ImageFormat::Jpeg ? "JPEG" : "PNG", bytes.size());
      }
    };
  });
}

}  // namespace mokctl
