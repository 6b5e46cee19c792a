// File writers for mokctl: CSV, SVG, PNG (libpng) and raw bytes.
#include "output_files.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <utility>

#include <png.h>
#include <unistd.h>

#include "session.hpp"

namespace mokctl {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_for_writing(const std::string& path) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    throw Failure(kFailed, format("Cannot write %s: %s.", path.c_str(), std::strerror(errno)));
  }
  return f;
}

void finish(File f, const std::string& path) {
  if (std::ferror(f.get()) || std::fclose(f.release()) != 0) {
    throw Failure(kFailed, format("Cannot write %s: %s.", path.c_str(), std::strerror(errno)));
  }
}

}  // namespace

void write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  File f = open_for_writing(path);
  if (size) std::fwrite(data, 1, size, f.get());
  finish(std::move(f), path);
}

void write_text(const std::string& path, const std::string& text) {
  write_bytes(path, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string scan_csv_header() {
  return "t_s,pts,seam_found,seam_point_idx,seam_y,seam_z,seam_width,seam_height,seam_angle,points,"
         "latency_ms\n";
}

std::string scan_csv_row(const ScanRow& r) {
  std::string out =
      format("%.6f,%llu,%d,%u,%.3f,%.3f,%.3f,%.3f,%.2f,%u,", r.t_s, static_cast<unsigned long long>(r.pts),
             r.seam_found ? 1 : 0, r.seam_idx, r.seam_y, r.seam_z, r.width, r.height, r.angle, r.points);
  out += r.latency_ms >= 0 ? format("%.3f\n", r.latency_ms) : std::string("\n");
  return out;
}

std::string scan_csv(const std::vector<ScanRow>& rows) {
  std::string out = scan_csv_header();
  for (const ScanRow& r : rows) out += scan_csv_row(r);
  return out;
}

void check_writable(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p(path);
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  const char* why = nullptr;
  if (path.empty() || (fs::exists(p, ec) && fs::is_directory(p, ec))) {
    why = "it is not a file name";
  } else if (!fs::is_directory(dir, ec)) {
    why = "its directory does not exist";
  } else if (::access(fs::exists(p, ec) ? path.c_str() : dir.c_str(), W_OK) != 0) {
    why = "it is not writable";
  }
  if (why) throw Failure(kUsage, format("Cannot write %s: %s.", path.c_str(), why));
}

CsvStream::CsvStream(const std::string& path) : path_(path) {
  if (path == "-") {
    file_ = stdout;
  } else {
    check_writable(path);
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw Failure(kUsage, format("Cannot write %s: %s.", path.c_str(), std::strerror(errno)));
  }
  const std::string header = scan_csv_header();
  std::fwrite(header.data(), 1, header.size(), file_);
}

CsvStream::~CsvStream() {
  if (file_ && file_ != stdout) std::fclose(file_);
}

bool CsvStream::append(const std::vector<ScanRow>& rows) {
  if (!file_ || reader_gone_ || error_) return false;
  for (const ScanRow& r : rows) {
    const std::string line = scan_csv_row(r);
    std::fwrite(line.data(), 1, line.size(), file_);
  }
  if (std::fflush(file_) != 0 || std::ferror(file_)) {
    if (errno == EPIPE) {
      reader_gone_ = true;
    } else {
      error_ = errno ? errno : EIO;
    }
    return false;
  }
  return true;
}

void CsvStream::close() {
  if (!file_) return;
  std::FILE* f = std::exchange(file_, nullptr);
  if (f == stdout) {
    if (!reader_gone_ && std::fflush(f) != 0 && errno != EPIPE) error_ = errno;
  } else if (std::fclose(f) != 0 && !error_) {
    error_ = errno;
  }
  if (error_) throw Failure(kFailed, format("Cannot write %s: %s.", path_.c_str(), std::strerror(error_)));
}

std::string profile_svg(const mok::ScanResult& result, const std::string& title) {
  // A point without a laser return is sent as the all-zero record, which
  // decodes to the same (y, z) every time; measured points carry noise and
  // never repeat exactly. Dropping repeated pairs keeps the axes on the part.
  std::map<std::pair<float, float>, int> seen;
  for (const mok::Point& p : result.points()) ++seen[{p.y, p.z}];
  std::vector<std::pair<float, float>> pts;
  for (const mok::Point& p : result.points()) {
    if (seen[{p.y, p.z}] == 1) pts.emplace_back(p.y, p.z);
  }
  float y0 = 0, y1 = 1, z0 = 0, z1 = 1;
  if (!pts.empty()) {
    y0 = y1 = pts[0].first;
    z0 = z1 = pts[0].second;
    for (auto [y, z] : pts) {
      y0 = std::min(y0, y);
      y1 = std::max(y1, y);
      z0 = std::min(z0, z);
      z1 = std::max(z1, z);
    }
  }
  float pad_z = std::max(1.0f, (z1 - z0) * 0.1f);
  z0 -= pad_z;
  z1 += pad_z;
  if (y1 - y0 < 1) y1 = y0 + 1;
  const double W = 800, H = 400, L = 60, R = 20, T = 40, B = 50;
  auto sx = [&](float y) { return L + (y - y0) / (y1 - y0) * (W - L - R); };
  auto sy = [&](float z) { return H - B - (z - z0) / (z1 - z0) * (H - T - B); };

  std::string s = format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
      "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
      "<text x=\"%.0f\" y=\"24\" font-size=\"15\">%s</text>\n",
      W, H, W, H, L, title.c_str());
  s += format(
      "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" "
      "stroke=\"#888\"/>\n",
      L, T, W - L - R, H - T - B);
  for (int i = 0; i <= 4; ++i) {
    float y = y0 + (y1 - y0) * static_cast<float>(i) / 4;
    float z = z0 + (z1 - z0) * static_cast<float>(i) / 4;
    s += format("<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%.1f</text>\n", sx(y), H - B + 18, y);
    s += format("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%.1f</text>\n", L - 6, sy(z) + 4, z);
  }
  s += format("<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">y (camera unit; simulator: mm)</text>\n",
              (W + L - R) / 2, H - 12);
  s += format(
      "<text x=\"16\" y=\"%.0f\" transform=\"rotate(-90 16 %.0f)\" "
      "text-anchor=\"middle\">z (camera unit; simulator: mm)</text>\n",
      (H + T - B) / 2, (H + T - B) / 2);
  s += "<polyline fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"1.2\" points=\"";
  for (auto [y, z] : pts) s += format("%.1f,%.1f ", sx(y), sy(z));
  s += "\"/>\n";
  if (result.seam_found()) {
    auto seam = result.seam_points();
    for (std::size_t i = 0; i < seam.size(); ++i) {
      bool chosen = i == result.seam_point_idx();
      s += format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%d\" fill=\"%s\"/>\n", sx(seam[i].y), sy(seam[i].z),
                  chosen ? 6 : 3, chosen ? "#d62728" : "#ff7f0e");
    }
    if (auto p = result.seam_point()) {
      s += format("<text x=\"%.1f\" y=\"%.1f\" fill=\"#d62728\">seam y %.2f z %.2f</text>\n", sx(p->y) + 8,
                  sy(p->z) - 8, p->y, p->z);
    }
  } else {
    s += format("<text x=\"%.0f\" y=\"%.0f\" fill=\"#d62728\">no seam found</text>\n", W - R - 100, T + 18);
  }
  s += "</svg>\n";
  return s;
}

void write_png(const std::string& path, const PixelView& view) {
  int color = view.channels == 1   ? PNG_COLOR_TYPE_GRAY
              : view.channels == 3 ? PNG_COLOR_TYPE_RGB
                                   : PNG_COLOR_TYPE_RGBA;
  File f = open_for_writing(path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw Failure(kFailed, format("Cannot encode %s as PNG.", path.c_str()));
  }
  png_init_io(png, f.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(view.width), static_cast<png_uint_32>(view.height), 8, color,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int row = 0; row < view.height; ++row) {
    png_write_row(png, const_cast<png_bytep>(view.data + static_cast<std::ptrdiff_t>(row) * view.stride));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  finish(std::move(f), path);
}

std::string join_path(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir == ".") return name;
  return (std::filesystem::path(dir) / name).string();
}

void make_dirs(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw Failure(kFailed, format("Cannot create the directory %s: %s.", dir.c_str(), ec.message().c_str()));
}

}  // namespace mokctl
