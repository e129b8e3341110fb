// Measured spectra the reader knows by name, as data: metals' complex refractive indices and
// the D65 illuminant.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace qor::scene {

// One metal: eta and k at the same wavelengths (nm), increasing.
struct metal_table {
  std::string_view symbol;  // "Au": the scene names "metal-Au-eta" and "metal-Au-k"
  const float* lambda;
  const float* eta;
  const float* k;
  size_t size;
};

std::span<const metal_table> measured_metals();

// The CIE standard illuminant D65's relative power at `lambda` nm (100 at 560 nm), zero outside
// 360 nm to 830 nm.
double cie_d65(double lambda);

}  // namespace qor::scene
