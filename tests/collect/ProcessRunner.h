// Runs the tools as child processes for the end-to-end tests: output into files, bounded
// waits, and a kill for anything still running when the test ends.
#ifndef LUMO_COLLECT_PROCESS_RUNNER_H
#define LUMO_COLLECT_PROCESS_RUNNER_H

#include "CollectTestSupport.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace collect_test {

class Process {
public:
    // Starts program with args; stdout and stderr go to outPath and errPath.
    Process(const std::string &program, const std::vector<std::string> &args,
            const std::string &outPath, const std::string &errPath)
        : outPath_(outPath), errPath_(errPath)
    {
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_GT(pid_, 0) << "cannot start " << program;
    }
    ~Process()
    {
        if (running()) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool running() const { return pid_ > 0 && !exited_; }
    void signal(int sig) const
    {
        if (running())
            ::kill(pid_, sig);
    }
    // The exit status, or -1 when the process did not end within the bound (it is then
    // killed) or died from a signal.
    int wait(std::chrono::milliseconds bound)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (running()) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "process did not end within " << bound.count() << " ms";
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                exited_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }
    std::string out() const { return slurp(outPath_); }
    std::string err() const { return slurp(errPath_); }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string outPath_;
    std::string errPath_;
};

// A loopback TCP port nobody listens on right now.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

} // namespace collect_test

#endif
