#include <iostream>
#include <variant>

#include "cli/command_line.h"
#include "cli/render_command.h"
#include "engine/runtime/processes.h"

int main(int argc, char** argv) {
  engine::processes::start(argc, argv);
  auto parsed = qor::cli::parse_command_line(argc, argv, std::cout, std::cerr);
  int status = 0;
  if (const int* early = std::get_if<int>(&parsed)) {
    status = *early;
  } else {
    status = qor::cli::run(std::get<qor::cli::command_line>(parsed));
  }
  // A process that fails while others render would leave them waiting in the next exchange: its
  // error, printed already, ends them all.
  if (status != 0) engine::processes::end_all(status);
  engine::processes::finish();
  return status;
}
