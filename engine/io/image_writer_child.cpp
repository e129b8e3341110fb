#include "engine/io/image_writer_child.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "engine/io/image_codec.h"

namespace engine::io::image_writer_child {

namespace {

// The socket's messages, in the host's byte order (both ends are one program).
// Child to parent, once: the codec is open (or could not be opened, and the child has ended).
constexpr char codec_open = 'R', codec_failed = 'F';
// How long an image waits for a child still opening the codec: twice what the whole opening
// takes on an idle core. Other programs that keep every core busy starve the child at its
// priority; the image then costs this much more than without a child.
constexpr int ready_wait_ms = 1000;
// Parent to child: a request, then the name's bytes, then the pixels' bytes.
struct request {
  uint32_t format;
  int32_t width, height;
  uint32_t name_bytes;
  uint64_t pixel_bytes;
};
// Child to parent: the answer, then the reason's bytes when it failed.
struct answer {
  uint32_t written;
  uint32_t reason_bytes;
};

bool send_all(int fd, const void* data, size_t bytes) {
  const char* at = static_cast<const char*>(data);
  while (bytes > 0) {
    const ssize_t sent = ::send(fd, at, bytes, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    at += sent;
    bytes -= size_t(sent);
  }
  return true;
}

bool receive_all(int fd, void* data, size_t bytes) {
  char* at = static_cast<char*>(data);
  while (bytes > 0) {
    const ssize_t got = ::recv(fd, at, bytes, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    bytes -= size_t(got);
  }
  return true;
}

size_t pixel_bytes_of(image_format format, int width, int height) {
  return size_t(width) * size_t(height) * 3 * (is_display_format(format) ? 1 : sizeof(float));
}

[[noreturn]] void serve(int fd) {
  // Ctrl-C and a terminal's SIGTERM go to the whole process group: the render takes them and
  // still writes its image, through this child.
  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  sigprocmask(SIG_BLOCK, &interrupts, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  setpriority(PRIO_PROCESS, 0, 19);

  const image_codec* codec = nullptr;
  try {
    codec = &loaded_image_codec();
  } catch (const std::exception&) {
    // The render opens it itself and reports why it cannot.
    send_all(fd, &codec_failed, 1);
    _exit(0);
  }
  if (!send_all(fd, &codec_open, 1)) _exit(0);

  for (;;) {
    request r{};
    if (!receive_all(fd, &r, sizeof r)) _exit(0);  // the render has ended
    const auto format = static_cast<image_format>(r.format);
    if (r.width <= 0 || r.height <= 0 || r.name_bytes > 65536 ||
        r.pixel_bytes != pixel_bytes_of(format, r.width, r.height)) {
      _exit(1);
    }
    std::string name(r.name_bytes, '\0');
    std::vector<unsigned char> pixels(r.pixel_bytes);
    if (!receive_all(fd, name.data(), name.size()) ||
        !receive_all(fd, pixels.data(), pixels.size())) {
      _exit(0);
    }
    bool written = true;
    std::string reason;
    try {
      codec->write(name, format, r.width, r.height, pixels.data());
    } catch (const std::exception& error) {
      written = false;
      reason = error.what();
    }
    const answer a{written ? 1u : 0u, uint32_t(reason.size())};
    if (!send_all(fd, &a, sizeof a) || !send_all(fd, reason.data(), reason.size())) _exit(0);
  }
}

// Only a process of one thread forks: the child of a threaded one may hold a lock forever.
bool single_threaded() {
  std::error_code error;
  size_t threads = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++threads;
  }
  return !error && threads == 1;
}

// The parent's side.
class child_process {
 public:
  ~child_process() { stop(); }

  void start() {
    std::lock_guard lock(mutex_);
    if (pid_ > 0 || !image_codec_present() || !single_threaded()) return;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ends[0]);
      serve(ends[1]);
    }
    ::close(ends[1]);
    if (pid < 0) {
      ::close(ends[0]);
      return;
    }
    pid_ = pid;
    fd_ = ends[0];
    ready_ = false;
  }

  bool ready() {
    std::lock_guard lock(mutex_);
    return check_ready();
  }

  bool write(const std::string& name, image_format format, int width, int height,
             const void* data) {
    std::lock_guard lock(mutex_);
    // The render waits for this image, so its threads leave the cores to the child, whose
    // priority then no longer holds it back: waiting for it is never slower than opening the
    // library here, unless other programs keep the cores busy, which the limit bounds.
    if (!check_ready(ready_wait_ms)) {
      end();
      return false;
    }
    const request r{uint32_t(format), width, height, uint32_t(name.size()),
                    uint64_t(pixel_bytes_of(format, width, height))};
    answer a{};
    std::string reason;
    if (!send_all(fd_, &r, sizeof r) || !send_all(fd_, name.data(), name.size()) ||
        !send_all(fd_, data, r.pixel_bytes) || !receive_all(fd_, &a, sizeof a)) {
      end();
      return false;
    }
    reason.resize(a.reason_bytes);
    if (!receive_all(fd_, reason.data(), reason.size())) {
      end();
      return false;
    }
    if (a.written == 0) throw std::runtime_error(reason);
    return true;
  }

  void stop() {
    std::lock_guard lock(mutex_);
    end();
  }

 private:
  // Whether the child has said that its codec is open; a child that failed or died is ended.
  bool check_ready(int wait_ms = 0) {
    if (pid_ <= 0) return false;
    if (ready_) return true;
    pollfd p{fd_, POLLIN, 0};
    int polled;
    while ((polled = ::poll(&p, 1, wait_ms)) < 0 && errno == EINTR) {
    }
    if (polled <= 0) return false;
    char said = 0;
    if (::recv(fd_, &said, 1, 0) == 1 && said == codec_open) {
      ready_ = true;
      return true;
    }
    end();
    return false;
  }

  void end() {
    if (pid_ <= 0) return;
    // A child still opening the codec has nothing to finish; a ready one reads the end of the
    // stream and leaves.
    if (!ready_) ::kill(pid_, SIGKILL);
    ::close(fd_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    fd_ = -1;
    ready_ = false;
  }

  std::mutex mutex_;
  pid_t pid_ = -1;
  int fd_ = -1;
  bool ready_ = false;
};

child_process& the_child() {
  static child_process child;
  return child;
}

}  // namespace

void start() {
  the_child().start();
}

bool ready() {
  return the_child().ready();
}

bool write(const std::string& name, image_format format, int width, int height, const void* data) {
  return the_child().write(name, format, width, height, data);
}

void stop() {
  the_child().stop();
}

}  // namespace engine::io::image_writer_child
