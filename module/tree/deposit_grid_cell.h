// Where a position falls in the deposit's grid: one arithmetic for the grid's build, which lists
// a leaf in the cells of its box's corners and all between, and for the deposit, which finds a
// photon's cell.
#pragma once

#include <cstdint>

#include "module/tree/ppm_tree.h"

// The cell coordinate along axis a of a value within the grid's box. Float subtraction,
// multiplication and truncation are all monotonic, so a photon inside a box gets a coordinate
// within the box's corners' coordinates: the grid lists every leaf whose box holds it.
inline uint32_t grid_cell_coordinate(const deposit_grid& grid, int a, float v) {
  return static_cast<uint32_t>((v - grid.low[a]) * grid.cells_per_unit);
}

inline uint32_t grid_bucket(const deposit_grid& grid, uint32_t x, uint32_t y, uint32_t z) {
  const uint32_t h = x * 0x9E3779B1u + y * 0x85EBCA77u + z * 0xC2B2AE3Du;
  return (h ^ (h >> 15)) & grid.bucket_mask;
}
