// The processes of one render: alone, or the ranks of an MPI job launched by mpirun, each of which
// traces its share of every photon pass. The engine implements the host's qor_process_* calls on
// top of this; the program joins the job before anything else and leaves it last.
#pragma once

namespace engine::processes {

// Joins the MPI job when the program was started by an MPI launcher (its environment says so);
// otherwise, and in a build without MPI, the process renders alone and MPI is never touched, so a
// plain run neither needs nor waits for a launcher.
void start(int& argc, char**& argv);

// Leaves the job after a render that every process finished.
void finish();

// Ends every process of the job with `status`, so that one process's error cannot leave the
// others waiting in an exchange. Alone, it is std::exit.
[[noreturn]] void end_all(int status);

int count();  // processes in the render, at least 1
int index();  // this process, 0 .. count() - 1; 0 reads input and writes images

// Whether this build can join an MPI job.
bool available();

}  // namespace engine::processes
