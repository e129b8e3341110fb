#include "engine/runtime/pixel_strata.h"

namespace engine {

film_block::film_block(const qorImage_block& samples, int strata) {
  const int width = samples.width / strata, height = samples.height / strata;
  storage_.assign(qorImage_block::bytes(width, height) / sizeof(float), 0.0f);
  auto& header = *reinterpret_cast<qorImage_block*>(storage_.data());
  header = {samples.x0 / strata, samples.y0 / strata, width, height};
  float* out = header.pixels();
  const float* in = samples.pixels();
  const double share = 1.0 / double(strata * strata);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double sum[3] = {0, 0, 0};
      for (int sy = 0; sy < strata; ++sy) {
        const float* row =
            in + 3 * (size_t(y * strata + sy) * size_t(samples.width) + size_t(x * strata));
        for (int sx = 0; sx < 3 * strata; ++sx) sum[sx % 3] += row[sx];
      }
      for (int c = 0; c < 3; ++c)
        out[3 * (size_t(y) * size_t(width) + size_t(x)) + c] = float(sum[c] * share);
    }
  }
}

}  // namespace engine
