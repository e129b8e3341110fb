// Per-pixel point history and the points file: not built yet.
#include "render/qor_ppm.h"

void qorPPM::carry_over_points() {}
void qorPPM::merge_points() {}
void qorPPM::save_points_file(float) {}
void qorPPM::reset_points() {
  qor_info("Reset points\n");
  iteration = 0;
}
