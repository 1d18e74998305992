// Runs of the built programs as child processes, in a scratch root with a
// working and a program directory: start, stop, wait, and the tools and ports
// they need. Every process started is stopped at the end of the test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/logger/blackbox_util.h"
#include "tests/logger/run_dirs.h"

using Clock = std::chrono::steady_clock;

// A path for a program from the Debian packages, or empty.
inline std::string FindTool(const char* name)
{
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return std::string();
}

// A port on 127.0.0.1 that nothing listens on right now.
inline int FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}


// Calls `probe` every 200 ms until it returns true or `seconds` have passed.
template <typename Probe>
inline bool WaitFor(int seconds, Probe probe)
{
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        if (probe())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return probe();
}

class ProcessRun : public RunDirectories {
protected:
    void TearDown() override
    {
        for (pid_t pid : pids_)
            Stop(pid);
        RunDirectories::TearDown();
    }

    // Starts a program with its output to `log`, standard input from /dev/null.
    pid_t Start(const std::vector<std::string>& argv, const std::string& program, const std::string& log,
                const std::string& dir)
    {
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            int null = open("/dev/null", O_RDONLY);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(null, 0);
            dup2(out, 1);
            dup2(out, 2);
            if (chdir(dir.c_str()) != 0)
                _exit(126);
            std::vector<char*> pointers;
            for (const std::string& a : argv)
                pointers.push_back(const_cast<char*>(a.c_str()));
            pointers.push_back(nullptr);
            execv(program.c_str(), pointers.data());
            _exit(127);
        }
        pids_.push_back(pid);
        return pid;
    }

    // SIGTERM, then SIGKILL after 15 s. The exit status, or minus the signal.
    int Stop(pid_t pid)
    {
        auto it = std::find(pids_.begin(), pids_.end(), pid);
        if (it == pids_.end())
            return -1000;
        pids_.erase(it);
        kill(pid, SIGTERM);
        int status = 0;
        auto deadline = Clock::now() + std::chrono::seconds(15);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // Waits for the end of a process that ends by itself (60 s at most).
    int Wait(pid_t pid)
    {
        int status = 0;
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ADD_FAILURE() << "process " << pid << " did not end";
                return Stop(pid);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        pids_.erase(std::find(pids_.begin(), pids_.end(), pid));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    bool Running(pid_t pid)
    {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != pid)
            return true;
        pids_.erase(std::find(pids_.begin(), pids_.end(), pid));
        return false;
    }

    // temp on the bus `busText` with the place table and temp.conf given;
    // argv[0] in the program directory, so both files are read from there.
    pid_t StartLogger(const std::string& busText, const std::string& table, const std::string& conf)
    {
        WriteFile(root_ + "/bus.txt", busText);
        WriteFile(app_ + "Direct Access table.txt", table);
        WriteFile(app_ + "temp.conf", conf);
        return Start({app_ + "temp", "sim:" + root_ + "/bus.txt"}, TEMP_BINARY, root_ + "/temp.out", work_);
    }

    std::string Tail(const std::string& log) const
    {
        std::string text = ReadFile(log);
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

    std::vector<pid_t> pids_;
};
