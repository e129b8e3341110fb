// The bounding-box tree over one measurement point array, its photon queries and the
// progressive update of its points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "host/qor.h"
#include "module/points/measurement_point.h"

struct photon_path_buffer;
struct point_sphere;

struct ppm_tree_node {
  float bounds_min[3];  // box around the spheres of the node's points
  float bounds_max[3];
  ppm_tree_node* children;  // first of two adjacent children in the pool; null for a leaf
  uint32_t first;           // start of the node's range in the tree's index array
  uint32_t count;           // length of that range
};
static_assert(sizeof(ppm_tree_node) == 40);

// A photon to deposit: filled by the caller, read by ppm_tree::deposit.
struct photon_query {
  float position[3];      // where the photon landed
  float normal[3];        // surface normal at the landing point
  float direction[3];     // direction the photon travelled
  float flux[3];          // RGB photon power
  uint32_t count;         // photons added to each receiving point's pass_photons
  uint32_t orient;        // non-zero enables the orientation tests
  uint32_t* hit_counter;  // incremented once per receiving point; the caller's
  uint32_t thread;        // the depositing tracing thread's index: picks its accumulation set
};

// The deposit's read-only copy of the points, in leaf order (entry k describes points[index[k]]),
// so that a leaf's tests read one contiguous run of memory that no thread writes during a pass.
// It comes in blocks of four entries, one field per row, so that four points are tested at once,
// and in two arrays: the sphere test's fields, one cache line per block, which every photon that
// enters a leaf reads; and the rest, which only a photon inside a sphere of the block reads.
// Most blocks a photon meets turn it away at the sphere test. Refreshed from the points at every
// build and before every photon pass.
struct deposit_sphere_block {
  float position[3][4];     // [axis][entry]
  float radius_squared[4];  // radius x radius in float, as the sphere test forms it
};
static_assert(sizeof(deposit_sphere_block) == 64);

struct deposit_detail_block {
  float normal[3][4];
  float radius[4];
  float reflectance[3][4];
  uint32_t point[4];  // index into the tree's point array
};
static_assert(sizeof(deposit_detail_block) == 128);

// The deposit's node: the binary tree with every second level folded away, so that one node
// holds the boxes of up to four children (one field per row, tested at once) in two cache lines.
// A child with count 0 is a node (first: its index); otherwise a leaf over entries first ..
// first + count - 1 of the copy. Unused children have empty boxes. A subtree of at most
// deposit_leaf_points points is one leaf: its sphere blocks lie one after another, and a photon
// tests up to eight of them faster than it walks the two or three nodes below (tree_bench: 6%
// less time per photon at 9 points per photon, 1.5% at 28; in whole renders, within noise).
struct deposit_node {
  float bounds_min[3][4];  // [axis][child]
  float bounds_max[3][4];
  uint32_t first[4];
  uint32_t count[4];
};
static_assert(sizeof(deposit_node) == 128);

// A hashed uniform grid over the deposit's leaves, so that a photon finds the leaves whose boxes
// may hold it from its cell alone instead of walking the nodes above them: the walk's node tests
// branch on where the photon landed and are mispredicted as often as not. A leaf is listed in
// every cell its box touches; the cells hash into buckets (twice as many as cells with leaves, so
// the bucket offsets stay in cache), and a bucket lists the leaves of its cells once each, in leaf
// order, four to a row laid out as a deposit node whose children are all leaves. A photon tests
// its bucket's rows and enters the leaves whose boxes hold it, which are exactly the leaves the
// walk would enter. Cells are twice the median leaf's widest side: a leaf touches two or three
// cells and a photon tests 30 or so leaf boxes, in rows read one after another (tree_bench,
// against the walk: 16% less time per photon at 65,536 points, 30% at 10^6). The grid takes about
// 4 bytes a point; a tree whose leaves would be listed more than 16 times each on average (boxes
// far wider than the typical leaf) gets none, and its photons walk the nodes.
struct deposit_grid {
  float low[3] = {};  // the root's box: a photon outside it (or at NaN) meets no leaf
  float high[3] = {};
  float cells_per_unit = 0;               // 1 / the cells' edge
  uint32_t bucket_mask = 0;               // buckets - 1, for a power of two of buckets
  const deposit_node* rows = nullptr;     // null: no grid
  const uint32_t* bucket_rows = nullptr;  // bucket b's rows: rows[bucket_rows[b] .. [b + 1])
  void* memory = nullptr;                 // the rows, then the bucket offsets, in one allocation
  size_t memory_bytes = 0;
};

// Four points' photon sums of a pass in one accumulation set, in leaf order like the deposit
// copy and one field per row like its blocks, added into the points after the pass. A photon
// adds into a whole block at once, without a branch on which of the four points took it: the
// others add -0, which leaves every sum as it was, bit for bit.
struct accumulator_block {
  int32_t pass_photons[4];
  float pass_flux[3][4];
  float offset_sum[3][4];
  uint32_t lock;  // taken only while more than one thread writes the set
  uint32_t unused[3];
};
static_assert(sizeof(accumulator_block) == 128);

// Memory of the contention-free deposit, per tree of N points and T tracing threads: the deposit
// copy takes 48 N bytes (rounded up to four points), its four-wide nodes about 6 N (measured on
// points spread over the walls of a room), and each accumulation set 32 N (also rounded up). A pass
// opens S = min(T, floor(budget / 32 N)) sets, so the sets never pass the budget whatever T is: at
// T = 64 and N = 10^6, 48 MB of copy and 8 sets of 32 MB (256 MB), each written by 8 threads under
// per-block locks; at T = 2 and N = 65536 (a 256 x 256 image), 3 MB of copy and two 2 MB sets. With
// S = 0 (N above 8 million at the default budget) every thread adds into the points under their
// locks.
inline constexpr size_t default_accumulation_budget = size_t{256} << 20;
inline constexpr uint32_t default_deposit_leaf_points = 32;

// The deposit's arrays, which a tree hands to the next tree over the same point array, so that
// a pass does not first fault in fresh pages for them.
struct deposit_storage {
  deposit_sphere_block* blocks = nullptr;  // with the detail blocks behind them
  size_t block_capacity = 0;
  deposit_node* nodes = nullptr;
  uint32_t node_capacity = 0;
  void* grid = nullptr;
  size_t grid_bytes = 0;
  accumulator_block* accumulators = nullptr;
  size_t accumulator_capacity = 0;  // blocks held
};

// Opening and closing a photon pass touch every point once per accumulation set, and there are
// as many sets as threads: on one thread, 3.5 ms of a 75 ms two-thread pass over 65,536 points,
// growing with the thread count. So they come in slices of the tree's leaf order, which a
// slice_runner may run on several threads at once: it calls work(slice) once for each slice
// 0 .. slices - 1, in any order, and returns when all have run.
using slice_work = std::function<void(uint32_t slice)>;
using slice_runner = std::function<void(uint32_t slices, const slice_work& work)>;
// Runs the slices one after another on the calling thread.
void run_slices_in_turn(uint32_t slices, const slice_work& work);

class ppm_tree {
 public:
  ppm_tree(measurement_point* points, uint32_t count);
  ~ppm_tree();
  ppm_tree(const ppm_tree&) = delete;
  ppm_tree& operator=(const ppm_tree&) = delete;

  void build();
  ppm_tree_node* allocate_nodes(uint32_t k);
  void set_tls_slot(int32_t slot) { tls_slot = slot; }

  // A photon pass over `threads` tracing threads, indexed 0 .. threads - 1 in their queries:
  // begin_pass refreshes the deposit copy from the points and opens the accumulation sets,
  // end_pass (after every thread has finished) puts set 0 back into the points and adds the
  // others in set order. Each cuts its work into `threads` slices for `run`.
  // Outside a pass every deposit goes straight into the points, under their locks.
  void begin_pass(uint32_t threads, const slice_runner& run = run_slices_in_turn);
  void end_pass(const slice_runner& run = run_slices_in_turn);
  // Refreshes the deposit copy from the points (radius, reflectance and all).
  void refresh_deposit_points();
  // Hands the deposit's arrays over (the tree keeps none), and takes such arrays before a build,
  // releasing its own.
  deposit_storage release_deposit_storage();
  void adopt_deposit_storage(const deposit_storage& storage);

  // Queries.
  void deposit(const photon_query& query);
  void lookup(const ppm_tree_node* node, const float position[3], float out[3]) const;
  void lookup_radiance(const qorRay& ray, float out[3]) const;
  bool covers(const float position[3], const float normal[3]) const;

  // The calling thread's photon path buffer, in the host's per-thread storage of the ray.
  photon_path_buffer& path_buffer(const qorRay& ray) const;
  void clear_path_buffer(const qorRay& ray) const;
  void count_path_reuse(const qorRay& ray) const;

  // Folds the pass's photons of every point into its radiance and adapts its radius.
  void progressive_update(int32_t iteration, bool clamp_outliers, float flux_scale, float alpha);

  ppm_tree_node* root = nullptr;
  measurement_point* points;  // not owned
  uint32_t* index = nullptr;  // point indices, permuted by the build
  float bounds_min[3] = {};
  float bounds_max[3] = {};
  uint32_t count;
  ppm_tree_node* nodes = nullptr;
  uint32_t nodes_used = 0;
  uint32_t nodes_capacity = 0;
  int32_t tls_slot = 0;
  float radius_ratio = 0.0f;  // upper over lower radius bound, set before each update

  // The deposit's read-only copy of the points, (count + 3) / 4 blocks of each kind in one
  // allocation (the detail blocks start at deposit_block_capacity sphere blocks), and its nodes
  // (deposit_nodes_used of them), made at every build.
  deposit_sphere_block* deposit_spheres = nullptr;
  deposit_detail_block* deposit_details = nullptr;
  size_t deposit_block_capacity = 0;
  // Whether the copy still holds what the points hold: set by a build, cleared by the end of a
  // pass (the progressive update then changes the radii), so that a pass right after a build
  // does not copy the points twice.
  bool deposit_copy_current = false;
  deposit_node* deposit_nodes = nullptr;
  uint32_t deposit_nodes_used = 0;
  uint32_t deposit_nodes_capacity = 0;
  deposit_grid grid;
  // Accumulation sets of the open pass: set_count arrays of (count + 3) / 4 blocks in leaf order,
  // one after the other. Thread t adds into set t % set_count; a set that more than one thread
  // adds into is written under per-block locks. Set 0 starts from the points' own sums and the
  // others from zero, so a one-thread pass adds in exactly the order the points always have.
  accumulator_block* accumulators = nullptr;
  size_t accumulator_capacity = 0;  // blocks held
  uint32_t set_count = 0;
  uint32_t pass_threads = 0;  // 0: no pass open
  // Bytes the accumulation sets of one tree may take; past it threads share sets.
  size_t accumulation_budget = default_accumulation_budget;
  // Subtrees of at most this many points are one leaf of the deposit's nodes (0: the tree's own
  // leaves), set before the build.
  uint32_t deposit_leaf_points = default_deposit_leaf_points;
  // Whether the build makes the deposit's grid, set before the build (without it photons walk
  // the nodes).
  bool use_deposit_grid = true;

 private:
  void subdivide(ppm_tree_node* node, point_sphere* spheres);
  // Zeroes the lanes of the last deposit block past the last point.
  void clear_last_deposit_block();
  // Blocks of four entries of the deposit copy, and of each accumulation set.
  size_t deposit_blocks() const { return (static_cast<size_t>(count) + 3) / 4; }
  // A slice's work, on entries first .. last - 1 of the leaf order.
  void refresh_deposit_entries(uint32_t first, uint32_t last);
  void open_sets(uint32_t first, uint32_t last);
  void close_sets(uint32_t first, uint32_t last);
  bool allocate_deposit_blocks(size_t blocks);
  void build_deposit_nodes();
  void build_deposit_grid();
};
