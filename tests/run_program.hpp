// Runs a built program as a user would, with chosen arguments, environment and standard
// output, and collects what it writes and how it ends.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test_support.hpp"

struct ProgramRun {
    std::vector<std::string> argv;
    std::string standardOutputFile;  // empty: captured
    std::vector<std::string> unsetVariables;
    // Closes the captured standard output after this many bytes, as `| head -c N` does.
    std::size_t closeOutputAfter = std::string::npos;
};

struct ProgramResult {
    int status = -1;  // exit status, or -signal
    std::string out;
    std::string err;
    bool timedOut = false;
};

inline ProgramResult runProgram(const ProgramRun& run, std::chrono::seconds limit = std::chrono::seconds(60)) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        if (run.standardOutputFile.empty()) {
            dup2(out[1], STDOUT_FILENO);
        } else {
            const int fd = open(run.standardOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
        }
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        for (const std::string& name : run.unsetVariables) unsetenv(name.c_str());
        std::vector<char*> argv;
        for (const std::string& a : run.argv) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    ProgramResult result;
    int outFd = out[0], errFd = err[0];
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const auto enough = [&] { return result.out.size() >= run.closeOutputAfter; };
    bool inTime = drainPipes(outFd, errFd, result.out, result.err, enough, deadline);
    if (inTime && enough() && outFd >= 0) {
        result.out.resize(run.closeOutputAfter);
        close(outFd);
        outFd = -1;
        inTime = drainPipes(outFd, errFd, result.out, result.err, [] { return false; }, deadline);
    }
    if (!inTime) {
        result.timedOut = true;
        kill(pid, SIGKILL);
    }
    for (int end : {outFd, errFd}) {
        if (end >= 0) close(end);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}
