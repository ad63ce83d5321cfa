// SPDX-License-Identifier: MIT
// Child processes for the tests that run the tools as a user does: standard
// input, output and error on pipes, read as the child writes them.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace vkm470::test {

struct Outcome {
  int status;  // the exit status; 128 + N for death by signal N
  std::string out;
  std::string err;
};

class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }

  ~Child() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_})
      if (fd >= 0) ::close(fd);
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // Reads standard output until it ends with marker (true), or until it
  // closes or a minute passes without it (false).
  bool readUntil(const std::string& marker) {
    while (out_ >= 0 && !endsWith(out, marker)) {
      if (!pump(60000)) return false;
    }
    return endsWith(out, marker);
  }

  // Reads standard output until it holds text at from or after; returns
  // where the text ends, or npos when the output closes or a minute passes
  // without it.
  std::size_t readUntilFound(const std::string& text, std::size_t from = 0) {
    while (out_ >= 0 && out.find(text, from) == std::string::npos) {
      if (!pump(60000)) return std::string::npos;
    }
    const std::size_t at = out.find(text, from);
    return at == std::string::npos ? at : at + text.size();
  }

  void kill(int signal) { ::kill(pid_, signal); }

  // Reads both streams to their end and waits for the child; throws if its
  // streams stay open and silent for timeoutMs.
  Outcome wait(int timeoutMs = 120000) {
    closeInput();
    while (out_ >= 0 || err_ >= 0) {
      if (!pump(timeoutMs))
        throw std::runtime_error("child still running after " + std::to_string(timeoutMs / 1000) +
                                 " s");
    }
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return {status, out, err};
  }

  std::string out;
  std::string err;

 private:
  static bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }

  // One poll on the open streams; false on a time-out.
  bool pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    drain(fds[0], out_, out);
    drain(fds[1], err_, err);
    return true;
  }

  static void drain(const pollfd& polled, int& fd, std::string& text) {
    if (fd < 0 || polled.revents == 0) return;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      ::close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
};

inline Outcome run(const std::vector<std::string>& argv) { return Child(argv).wait(); }

}  // namespace vkm470::test
