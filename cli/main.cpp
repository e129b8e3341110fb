#include <iostream>
#include <variant>

#include "cli/command_line.h"
#include "cli/render_command.h"

int main(int argc, char** argv) {
  auto parsed = qor::cli::parse_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  return qor::cli::run(std::get<qor::cli::command_line>(parsed));
}
