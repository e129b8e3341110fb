// The progressive radiance update: not built yet.
#include "tree/ppm_tree.h"

void ppm_tree::progressive_update(int32_t, bool, float, float) {}
