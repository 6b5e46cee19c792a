// Writes the ground-truth CSV described in truth.hpp.
#include "truth.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cell.hpp"

namespace camsim::cell {

mok::Result<void, std::string> write_truth(const std::string& path, const Cell& cell, std::uint64_t t0_host_ns,
                                           double seam_step_mm, double tool_step_s) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!f) return mok::err(path + ": " + std::strerror(errno));
  std::FILE* out = f.get();
  std::fputs("kind,t_s,t_host_ns,s_mm,x_mm,y_mm,z_mm,qw,qx,qy,qz,flags\n", out);
  const Workpiece& w = cell.workpiece();
  const auto seam_rows = static_cast<long>((w.params().x_end_mm - w.params().x_begin_mm) / seam_step_mm);
  for (long i = 0; i < seam_rows; ++i) {
    const double x = w.params().x_begin_mm + seam_step_mm * static_cast<double>(i);
    const Eigen::Vector3d p = w.seam_at(x);
    std::fprintf(out, "seam,,,%.4f,%.4f,%.4f,%.4f,,,,,%d\n", x, p.x(), p.y(), p.z(), w.seam_present(x) ? 1 : 0);
  }
  const auto tool_rows = static_cast<long>(cell.run_s() / tool_step_s) + 1;
  for (long i = 0; i < tool_rows; ++i) {
    const double t = tool_step_s * static_cast<double>(i);
    const MotionSample m = cell.motion().at(t);
    const Eigen::Vector3d p = m.X_base_tool.translation();
    const Eigen::Quaterniond q(m.X_base_tool.linear());
    std::fprintf(out, "tool,%.6f,%llu,%.4f,%.4f,%.4f,%.4f,%.9f,%.9f,%.9f,%.9f,%d\n", t,
                 static_cast<unsigned long long>(t0_host_ns + static_cast<std::uint64_t>(std::llround(t * 1e9))),
                 m.s_mm, p.x(), p.y(), p.z(), q.w(), q.x(), q.y(), q.z(), m.holding ? 1 : 0);
  }
  if (std::ferror(out) || std::fflush(out) != 0) return mok::err(path + ": write failed");
  return {};
}

}  // namespace camsim::cell
