/* C entry points to the sphere and plate calibrations for hosts that cannot link C++
 * (the Python package loads it through ctypes). Lives in libmok_calib_c.so,
 * apart from libmok.so. */
#ifndef MOK_CALIB_C_H
#define MOK_CALIB_C_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mok_calib_result {
  int status;          /* 0 ok, 1 too few views, 2 unconstrained, 3 not converged, 4 poor fit, -1 bad arguments */
  double mount[7];     /* X_tool_sensor: x_mm, y_mm, z_mm, qw, qx, qy, qz */
  double centre_mm[3]; /* the sphere's centre in the base frame (0 for plates) */
  double residual_rms_mm;
  double noise_sigma_mm;
  double sigma_translation_mm[3]; /* along the tool's axes */
  double sigma_rotation_deg[3];   /* about the sensor's axes */
  size_t more_poses_needed;
  char reason[512]; /* why refused, or the advice toward the target sigma */
} mok_calib_result_t;

/* poses: n_poses rows of (x_mm, y_mm, z_mm, qw, qx, qy, qz), X_base_tool;
 * points: n_points rows of (y_mm, z_mm); point_pose[i]: the pose of point i;
 * initial: the drawing's mounting (7 values), or NULL to start from the
 *   tool's frame and, if that fits poorly, from its other quarter turns;
 * pose_sigma_mm/deg: the robot's repeatability (0: exact);
 * target_sigma_mm/deg: wanted uncertainty (0: none);
 * view_rms_out: n_poses values (NaN for a pose left out), may be NULL.
 * Returns out->status. */
int mok_calib_sphere(const double* poses, size_t n_poses, const double* points, const uint32_t* point_pose,
                     size_t n_points, double radius_mm, const double* initial, double pose_sigma_mm,
                     double pose_sigma_deg, double target_sigma_mm, double target_sigma_deg, double* view_rms_out,
                     mok_calib_result_t* out);

/* The same from views of flat plates of unknown place, as a check of the
 * sphere's result: pose_plane[i] says which plate pose i shows (0, 1, ...;
 * each plate needs at least 8 poses). planes_out, when not NULL, receives
 * 4 values per plate (unit normal, offset mm: n . p = offset in the base
 * frame) for plates 0 to the largest pose_plane value. */
int mok_calib_planes(const double* poses, const uint32_t* pose_plane, size_t n_poses, const double* points,
                     const uint32_t* point_pose, size_t n_points, const double* initial, double pose_sigma_mm,
                     double pose_sigma_deg, double target_sigma_mm, double target_sigma_deg, double* view_rms_out,
                     double* planes_out, mok_calib_result_t* out);

#ifdef __cplusplus
}
#endif

#endif
