// A render shared by several processes: every process holds the same measurement points and
// takes the same decisions, and each traces its share of every photon pass. The host's process
// calls are optional; without them (or with one process) every function here is a no-op and the
// render is exactly the one-process render.
#pragma once

#include <cstdint>
#include <vector>

#include "host/qor.h"
#include "module/photons/photon_records.h"
#include "module/points/measurement_point.h"

class qorPPM;

int process_count();  // at least 1
int process_index();  // 0 .. process_count() - 1; 0 makes the eye pass and reads input

// Around a photon pass over `count` points. Opening leaves the pass sums of process 0's points
// as they are and clears the others', so that closing, which sums the points' pass_photons,
// pass_flux and offset_sum over the processes, counts what was there before the pass once.
void open_shared_pass(measurement_point* points, uint32_t count);
void close_shared_pass(measurement_point* points, uint32_t count);

// Returns when every process has come here: a one-value sum. Before the pass sums it splits
// their time into the wait for the slowest process and the exchange itself.
void meet_processes();

// Sums every job's pass counters over the processes: the emitter weights that normalise the next
// pass are then those of all the photons traced.
void sum_job_counters(std::vector<emission_job>& jobs);

// Gives every process process 0's point sets (counts and records), made by its eye pass.
void share_eye_pass(qorPPM& renderer);

// Process 0's answer to qor_output_check_input, on every process (0: no event).
int shared_input(qorScene& scene, qorOutput_event& event);

// Process 0's value of a setting every process must share.
void share_value(int32_t& value);
