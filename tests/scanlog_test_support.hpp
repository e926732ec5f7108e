// Helpers for the tests of scanlog's commands: temporary folders, a command run in a child
// process with its output caught, and a pseudo-terminal for its keys.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "test_support.hpp"

inline std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct Child {
    pid_t pid = -1;
    int out = -1, err = -1;
    std::string outText, errText;
    int status = -1;  // exit status, or -signal
};

// Runs `body` in a child process whose standard input is `input` and whose standard output
// and error come back through pipes; its return value is the exit status.
inline Child startChild(const std::function<int()>& body, int input) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        std::signal(SIGPIPE, SIG_IGN);  // as scanlog's main does
        dup2(input, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        _exit(body());
    }
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Reads the child's output until `done` says so, or both pipes close.
inline void collect(Child& child, const std::function<bool(const Child&)>& done) {
    const bool inTime = drainPipes(child.out, child.err, child.outText, child.errText, [&] { return done(child); },
                                   std::chrono::steady_clock::now() + std::chrono::seconds(60));
    ASSERT_TRUE(inTime) << "the child stopped answering";
}

inline void finish(Child& child) {
    collect(child, [](const Child&) { return false; });
    int status = 0;
    waitpid(child.pid, &status, 0);
    child.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// A pseudo-terminal: the child gets `slave` as its standard input, the test types on `master`.
struct Terminal {
    int master = -1, slave = -1;
    Terminal() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
    ~Terminal() {
        close(master);
        close(slave);
    }
    // Line editing and echo on, as a shell leaves a terminal.
    bool cooked() const {
        termios settings{};
        tcgetattr(slave, &settings);
        return (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
    }
    void type(const std::string& keys) const {
        EXPECT_EQ(write(master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }
};
