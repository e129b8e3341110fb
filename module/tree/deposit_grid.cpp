// The deposit's grid over its leaves: built from the four-wide nodes' leaves after every tree
// build, read by the deposit to find a photon's leaves without walking the nodes.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "module/tree/deposit_grid_cell.h"
#include "module/tree/ppm_tree.h"

namespace {

constexpr int grid_memory_kind = 16;  // the tree's own
// The cells' edge over the median leaf's widest side. Wider cells list each leaf in fewer cells
// and make a photon test more leaf boxes, in longer runs of rows (tree_bench: 1 and 3 are within
// a few percent of 2 at 65,536 points; 2 and 3 are 10% faster than 1 at 10^6).
constexpr float cell_over_leaf = 2.0f;
// Bounds the grid's memory: past this many cells per leaf on average (boxes far wider than the
// typical leaf) the walk serves.
constexpr uint64_t max_cells_per_leaf = 16;

struct grid_leaf {
  float low[3], high[3];
  uint32_t first, count;
};

// The leaves of the four-wide nodes, in the order of their points, so that a bucket's leaves
// lie in memory order. A leaf whose box is empty (points at NaN) or not within the grid's holds
// no photon and is left out.
std::vector<grid_leaf> leaves_of(const deposit_node* nodes, uint32_t used,
                                 const deposit_grid& grid) {
  std::vector<grid_leaf> leaves;
  for (uint32_t n = 0; n < used; ++n) {
    for (int i = 0; i < 4; ++i) {
      if (nodes[n].count[i] == 0) continue;
      grid_leaf leaf{};
      bool inside = true;
      for (int a = 0; a < 3; ++a) {
        leaf.low[a] = nodes[n].bounds_min[a][i];
        leaf.high[a] = nodes[n].bounds_max[a][i];
        inside = inside && leaf.low[a] >= grid.low[a] && leaf.low[a] <= leaf.high[a] &&
                 leaf.high[a] <= grid.high[a];
      }
      leaf.first = nodes[n].first[i];
      leaf.count = nodes[n].count[i];
      if (inside) leaves.push_back(leaf);
    }
  }
  std::sort(leaves.begin(), leaves.end(),
            [](const grid_leaf& a, const grid_leaf& b) { return a.first < b.first; });
  return leaves;
}

float median_widest_side(const std::vector<grid_leaf>& leaves) {
  std::vector<float> widths;
  widths.reserve(leaves.size());
  for (const grid_leaf& leaf : leaves) {
    float w = 0;
    for (int a = 0; a < 3; ++a) w = std::max(w, leaf.high[a] - leaf.low[a]);
    widths.push_back(w);
  }
  std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
  return widths[widths.size() / 2];
}

// Calls visit(bucket) for every cell a leaf's box touches, by the very arithmetic that places a
// photon in its cell.
template <typename Visit>
void each_bucket(const deposit_grid& grid, const grid_leaf& leaf, Visit&& visit) {
  uint32_t low[3], high[3];
  for (int a = 0; a < 3; ++a) {
    low[a] = grid_cell_coordinate(grid, a, leaf.low[a]);
    high[a] = grid_cell_coordinate(grid, a, leaf.high[a]);
  }
  for (uint32_t z = low[2]; z <= high[2]; ++z) {
    for (uint32_t y = low[1]; y <= high[1]; ++y) {
      for (uint32_t x = low[0]; x <= high[0]; ++x) visit(grid_bucket(grid, x, y, z));
    }
  }
}

uint64_t cells_touched(const deposit_grid& grid, const grid_leaf& leaf) {
  uint64_t n = 1;
  for (int a = 0; a < 3; ++a) {
    n *= uint64_t{grid_cell_coordinate(grid, a, leaf.high[a]) -
                  grid_cell_coordinate(grid, a, leaf.low[a])} +
         1;
  }
  return n;
}

uint32_t power_of_two_at_least(uint64_t n) {
  uint32_t p = 1;
  while (p < n) p *= 2;
  return p;
}

// Twice as many buckets as cells with leaves, which hashing into one bucket per leaf and cell
// pair first counts closely enough.
uint32_t bucket_count(const deposit_grid& grid, const std::vector<grid_leaf>& leaves,
                      uint64_t pairs) {
  deposit_grid provisional = grid;
  provisional.bucket_mask = power_of_two_at_least(pairs) - 1;
  std::vector<uint8_t> occupied(size_t{provisional.bucket_mask} + 1, 0);
  uint64_t cells = 0;
  for (const grid_leaf& leaf : leaves) {
    each_bucket(provisional, leaf, [&](uint32_t b) {
      cells += occupied[b] == 0 ? 1 : 0;
      occupied[b] = 1;
    });
  }
  return power_of_two_at_least(2 * cells);
}

// Each bucket's leaves, in leaf order and once each: listed[start[b] .. end[b]) for bucket b.
// The cells of one leaf that hash alike meet in its bucket one after another.
struct bucket_lists {
  std::vector<uint32_t> start, end, listed;
};

bucket_lists list_leaves(const deposit_grid& grid, const std::vector<grid_leaf>& leaves) {
  const uint32_t buckets = grid.bucket_mask + 1;
  bucket_lists lists;
  lists.start.assign(size_t{buckets} + 1, 0);
  for (const grid_leaf& leaf : leaves) {
    each_bucket(grid, leaf, [&](uint32_t b) { ++lists.start[b + 1]; });
  }
  for (uint32_t b = 0; b < buckets; ++b) lists.start[b + 1] += lists.start[b];
  lists.listed.resize(lists.start[buckets]);
  lists.end.assign(lists.start.begin(), lists.start.end() - 1);
  for (uint32_t l = 0; l < leaves.size(); ++l) {
    each_bucket(grid, leaves[l], [&](uint32_t b) {
      uint32_t& end = lists.end[b];
      if (end == lists.start[b] || lists.listed[end - 1] != l) lists.listed[end++] = l;
    });
  }
  return lists;
}

size_t row_count(const bucket_lists& lists) {
  size_t rows = 0;
  for (size_t b = 0; b < lists.end.size(); ++b) rows += (lists.end[b] - lists.start[b] + 3) / 4;
  return rows;
}

// Writes each bucket's leaves four to a row, unused lanes with boxes nothing lies in, and the
// buckets' first rows.
void write_rows(const bucket_lists& lists, const std::vector<grid_leaf>& leaves, deposit_node* row,
                uint32_t* bucket_rows) {
  constexpr float none = std::numeric_limits<float>::quiet_NaN();
  const size_t buckets = lists.end.size();
  uint32_t made = 0;
  for (size_t b = 0; b < buckets; ++b) {
    bucket_rows[b] = made;
    for (uint32_t k = lists.start[b]; k < lists.end[b]; k += 4, ++made) {
      deposit_node& r = row[made];
      for (uint32_t i = 0; i < 4; ++i) {
        const grid_leaf* leaf = k + i < lists.end[b] ? &leaves[lists.listed[k + i]] : nullptr;
        for (int a = 0; a < 3; ++a) {
          r.bounds_min[a][i] = leaf != nullptr ? leaf->low[a] : none;
          r.bounds_max[a][i] = leaf != nullptr ? leaf->high[a] : none;
        }
        r.first[i] = leaf != nullptr ? leaf->first : 0;
        r.count[i] = leaf != nullptr ? leaf->count : 0;
      }
    }
  }
  bucket_rows[buckets] = made;
}

}  // namespace

void ppm_tree::build_deposit_grid() {
  grid.rows = nullptr;
  grid.bucket_rows = nullptr;
  if (!use_deposit_grid || root == nullptr || deposit_nodes_used == 0) return;
  // Cell coordinates need a finite box: a point at infinity or at NaN leaves the walk to serve.
  float extent = 0;
  for (int a = 0; a < 3; ++a) {
    grid.low[a] = root->bounds_min[a];
    grid.high[a] = root->bounds_max[a];
    const float side = grid.high[a] - grid.low[a];
    if (!std::isfinite(side)) return;
    extent = std::max(extent, side);
  }
  const std::vector<grid_leaf> leaves = leaves_of(deposit_nodes, deposit_nodes_used, grid);
  if (leaves.empty()) return;
  // At most 2^20 cells along an axis, so cell coordinates never wrap.
  const float edge = std::max(cell_over_leaf * median_widest_side(leaves), extent / (1 << 20));
  grid.cells_per_unit = 1.0f / edge;
  if (!(edge > 0) || !std::isfinite(grid.cells_per_unit)) return;

  uint64_t pairs = 0;  // leaf and cell
  for (const grid_leaf& leaf : leaves) pairs += cells_touched(grid, leaf);
  if (pairs > max_cells_per_leaf * leaves.size()) return;
  grid.bucket_mask = bucket_count(grid, leaves, pairs) - 1;
  const bucket_lists lists = list_leaves(grid, leaves);

  const size_t rows = row_count(lists);
  const size_t bytes = sizeof(deposit_node) * rows + sizeof(uint32_t) * (lists.end.size() + 1);
  if (bytes > grid.memory_bytes) {
    qor_free_aligned(grid.memory);
    grid.memory_bytes = 0;
    grid.memory = qor_malloc2_aligned(bytes, grid_memory_kind, 64);
    if (grid.memory == nullptr) return;  // the walk serves
    grid.memory_bytes = bytes;
  }
  auto* row = static_cast<deposit_node*>(grid.memory);
  auto* bucket_rows = reinterpret_cast<uint32_t*>(row + rows);
  write_rows(lists, leaves, row, bucket_rows);
  grid.rows = row;
  grid.bucket_rows = bucket_rows;
}
