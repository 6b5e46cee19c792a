// The files mokctl writes: the results table (CSV), a profile plot (SVG),
// decoded video frames (PNG) and plain byte dumps. Each writer throws Failure
// with the path when the file cannot be written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <mok/mok.hpp>

#include "scan_stream.hpp"

namespace mokctl {

void write_bytes(const std::string& path, const std::uint8_t* data, std::size_t size);
void write_text(const std::string& path, const std::string& text);

// One line per result with a header line.
std::string scan_csv(const std::vector<ScanRow>& rows);
std::string scan_csv_header();
std::string scan_csv_row(const ScanRow& row);

// Throws Failure(kUsage) naming `path` when a file cannot be created there
// (missing or unwritable directory, unwritable file), before any work starts.
void check_writable(const std::string& path);

// The results table written as results arrive: "-" is standard output.
// Opened at once (Failure(kUsage) when it cannot be), so a bad path ends a
// command before it connects.
class CsvStream {
 public:
  explicit CsvStream(const std::string& path);
  ~CsvStream();
  CsvStream(const CsvStream&) = delete;
  CsvStream& operator=(const CsvStream&) = delete;

  bool to_stdout() const { return file_ == stdout; }
  // Appends the rows and flushes; false once the reader went away (a closed
  // pipe) or a write failed, after which nothing more is written.
  bool append(const std::vector<ScanRow>& rows);
  // Closes the file; throws Failure(kFailed) when a write had failed (a
  // closed pipe on standard output is no failure).
  void close();

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  int error_ = 0;
  bool reader_gone_ = false;
};

// The profile's points in the y/z plane with the eight seam points and the
// chosen one marked; `title` goes above the plot.
std::string profile_svg(const mok::ScanResult& result, const std::string& title);

// An image of 8-bit channels; `channels` 1 (grey), 3 (RGB) or 4 (RGBA).
struct PixelView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
  int channels = 0;
};
void write_png(const std::string& path, const PixelView& view);

// Joins a directory and a file name ("" or "." gives the name alone).
std::string join_path(const std::string& dir, const std::string& name);
// Creates the directory and its parents when missing.
void make_dirs(const std::string& dir);

}  // namespace mokctl
