// Smoothing of the per-pixel estimates: not built yet.
#include "render/qor_ppm.h"

void qorPPM::smooth_points(int) {}
void qorPPM::smooth_points_2() {}
void qorPPM::smooth_pass(int, bool) {}
void qorPPM::classify_points() {}
