#include "engine/io/terminal_keys.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace engine::io {

namespace {

// The settings to restore live in plain globals, so that a signal handler can reach them.
struct termios saved_settings;
volatile sig_atomic_t saved_fd = -1;

constexpr int fatal_signals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGABRT,
                                 SIGSEGV, SIGBUS, SIGFPE,  SIGILL};

void restore_and_reraise(int signal_number) {
  restore_terminal();
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void install_restoring_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::atexit(restore_terminal);
  for (int signal_number : fatal_signals) {
    struct sigaction action {};
    struct sigaction previous {};
    sigaction(signal_number, nullptr, &previous);
    // Leave alone a signal someone else handles or ignores.
    if (previous.sa_handler != SIG_DFL) continue;
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace

void restore_terminal() {
  const int fd = saved_fd;
  if (fd >= 0) {
    tcsetattr(fd, TCSANOW, &saved_settings);
    saved_fd = -1;
  }
}

terminal_keys::terminal_keys(int fd, input_events& events) : fd_(fd), events_(events) {
  if (!isatty(fd)) return;
  if (saved_fd >= 0) throw std::logic_error("a terminal key reader is already active");
  struct termios settings;
  if (tcgetattr(fd, &settings) != 0) return;
  if (pipe(wake_pipe_) != 0) return;

  saved_settings = settings;
  install_restoring_handlers();
  saved_fd = fd;
  // One byte at a time, no echo; ISIG stays on so that Ctrl-C is still a signal.
  settings.c_lflag &= ~(ICANON | ECHO);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &settings);
  reader_ = std::thread([this] { read_keys(); });
}

terminal_keys::~terminal_keys() {
  if (reader_.joinable()) {
    const char wake = 0;
    [[maybe_unused]] ssize_t ignored = write(wake_pipe_[1], &wake, 1);
    reader_.join();
    restore_terminal();
  }
  for (int& end : wake_pipe_) {
    if (end >= 0) close(end);
    end = -1;
  }
}

void terminal_keys::read_keys() {
  while (true) {
    struct pollfd watched[2] = {{fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (poll(watched, 2, -1) < 0) continue;  // EINTR
    if (watched[1].revents != 0) return;
    if ((watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    if ((watched[0].revents & POLLIN) == 0) continue;

    unsigned char bytes[64];
    const ssize_t count = read(fd_, bytes, sizeof bytes);
    if (count <= 0) return;
    // A lone Escape is the key; Escape followed by more bytes in the same read is the sequence an
    // arrow or function key sends, which means nothing here.
    if (bytes[0] == 27) {
      if (count == 1) events_.type_key(27);
      continue;
    }
    for (ssize_t i = 0; i < count; ++i) events_.type_key(bytes[i]);
  }
}

}  // namespace engine::io
