// child_process.h - krvdlc-sim run as a program of its own by the traffic tests: started
// with its output in a file, waited for with a time limit, killed if it overruns.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace traffic_test {

// krvdlc-sim of the same build as this test program.
inline std::string SimProgram()
{
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path() / "tools/krvdlc-sim/krvdlc-sim").string();
}

class ChildProcess {
public:
    // Runs `words` (program first) with stdout and stderr going to `output`.
    ChildProcess(const std::vector<std::string> &words, std::filesystem::path output) : output_(std::move(output))
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            FILE *out = std::freopen(output_.c_str(), "w", stdout);
            if (out == nullptr || ::dup2(::fileno(stdout), 2) < 0)
                ::_exit(126);
            std::vector<char *> argv;
            for (const std::string &word : words)
                argv.push_back(const_cast<char *>(word.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~ChildProcess()
    {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool running() const { return pid_ > 0 && !status_; }

    std::string Output() const
    {
        std::ifstream in(output_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits until the output holds `text`; false when the program ended or time ran out first.
    bool WaitForOutput(const std::string &text, std::chrono::milliseconds limit)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (Output().find(text) != std::string::npos)
                return true;
            if (!Poll())
                return Output().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The exit status, or -1 (and the program killed) when it has not ended within `limit`.
    int Wait(std::chrono::milliseconds limit)
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (Poll() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            status_ = -1;
            return -1;
        }
        return *status_;
    }

    void Signal(int signal) const
    {
        if (running())
            ::kill(pid_, signal);
    }

private:
    // True while the program runs.
    bool Poll()
    {
        if (!running())
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_)
            return true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }

    std::filesystem::path output_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace traffic_test
