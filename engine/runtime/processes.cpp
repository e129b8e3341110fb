#include "engine/runtime/processes.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "host/functions.h"

#ifdef QOR_WITH_MPI
#include <mpi.h>
#endif

namespace engine::processes {

namespace {

int process_count = 1;
int process_index = 0;

#ifdef QOR_WITH_MPI
bool joined = false;

// The launchers this build knows set one of these in every process they start.
bool started_by_launcher() {
  for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_SIZE"}) {
    if (std::getenv(name) != nullptr) return true;
  }
  return false;
}

MPI_Datatype mpi_type(int type) {
  switch (type) {
    case qor_sum_int32:
      return MPI_INT32_T;
    case qor_sum_uint32:
      return MPI_UINT32_T;
    default:
      return MPI_FLOAT;
  }
}

size_t type_bytes(int type) {
  return type == qor_sum_float ? sizeof(float) : sizeof(int32_t);
}
#endif

}  // namespace

void start([[maybe_unused]] int& argc, [[maybe_unused]] char**& argv) {
#ifdef QOR_WITH_MPI
  if (!started_by_launcher()) return;
  // MPI starts threads of its own; blocked here, SIGINT and SIGTERM stay blocked in them too, so
  // that only the render's interrupt thread takes them (engine/io/interrupts.h).
  sigset_t interrupt_signals;
  sigemptyset(&interrupt_signals);
  sigaddset(&interrupt_signals, SIGINT);
  sigaddset(&interrupt_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &interrupt_signals, nullptr);
  // Only the render's driver thread exchanges; photon and eye-pass threads never call MPI.
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  joined = true;
  MPI_Comm_size(MPI_COMM_WORLD, &process_count);
  MPI_Comm_rank(MPI_COMM_WORLD, &process_index);
#endif
}

void finish() {
#ifdef QOR_WITH_MPI
  if (joined) MPI_Finalize();
  joined = false;
#endif
}

void end_all(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
#ifdef QOR_WITH_MPI
  if (joined && process_count > 1) MPI_Abort(MPI_COMM_WORLD, status);
  finish();
#endif
  std::exit(status);
}

int count() {
  return process_count;
}

int index() {
  return process_index;
}

bool available() {
#ifdef QOR_WITH_MPI
  return true;
#else
  return false;
#endif
}

}  // namespace engine::processes

int qor_process_count() {
  return engine::processes::count();
}

int qor_process_index() {
  return engine::processes::index();
}

void qor_process_sum([[maybe_unused]] void* values, [[maybe_unused]] size_t count,
                     [[maybe_unused]] int type) {
#ifdef QOR_WITH_MPI
  if (engine::processes::count() < 2) return;
  // MPI counts are int: a long array goes in slices. MPI's default error handler ends the whole
  // job on a failed exchange, which is what a render wants.
  constexpr size_t slice = size_t(std::numeric_limits<int>::max() / 8);
  auto* bytes = static_cast<char*>(values);
  for (size_t done = 0; done < count; done += slice) {
    const size_t n = count - done < slice ? count - done : slice;
    MPI_Allreduce(MPI_IN_PLACE, bytes + done * engine::processes::type_bytes(type), int(n),
                  engine::processes::mpi_type(type), MPI_SUM, MPI_COMM_WORLD);
  }
#endif
}

void qor_process_broadcast([[maybe_unused]] void* data, [[maybe_unused]] size_t bytes) {
#ifdef QOR_WITH_MPI
  if (engine::processes::count() < 2) return;
  constexpr size_t slice = size_t(std::numeric_limits<int>::max() / 2);
  auto* start = static_cast<char*>(data);
  for (size_t done = 0; done < bytes; done += slice) {
    const size_t n = bytes - done < slice ? bytes - done : slice;
    MPI_Bcast(start + done, int(n), MPI_BYTE, 0, MPI_COMM_WORLD);
  }
#endif
}
