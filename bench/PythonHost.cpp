#include "PythonHost.h"

#include "LinkPair.h"
#include "SimThread.h"

#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

namespace bench {

namespace {

constexpr double kTransferLimitSeconds = 120.0;

// A child process with pipes to its stdin and from its stdout; killed if still running.
class Child {
public:
    explicit Child(std::vector<std::string> args)
    {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        toChild = ::fdopen(in[1], "w");
        fromChild = ::fdopen(out[0], "r");
    }
    ~Child()
    {
        if (toChild)
            std::fclose(toChild);
        if (fromChild)
            std::fclose(fromChild);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    std::string readLine()
    {
        char line[256] = {};
        return pid > 0 && fromChild && std::fgets(line, sizeof line, fromChild) ? line : "";
    }
    void writeLine(const char *text)
    {
        if (toChild) {
            std::fputs(text, toChild);
            std::fflush(toChild);
        }
    }
    void wait()
    {
        if (pid > 0 && ::waitpid(pid, nullptr, 0) == pid)
            pid = -1;
    }

private:
    pid_t pid = -1;
    FILE *toChild = nullptr;
    FILE *fromChild = nullptr;
};

} // namespace

bool pythonHostAvailable()
{
#ifdef LUMO_BENCH_PYTHON
    return ::access(LUMO_BENCH_PYTHON, X_OK) == 0;
#else
    return false;
#endif
}

namespace {

// The host process speaks one protocol: "listening" once its channel is open, and after
// a line on stdin "SECONDS MEASUREMENTS OK" for its transfer.
TransferRun childTransferOnce(const char *program, const char *script, int measurements)
{
    TransferRun run;
    run.measurements = measurements;
    const int port = findFreeTcpPort();
    std::vector<std::string> args{program};
    if (script)
        args.emplace_back(script);
    args.push_back(std::to_string(port));
    args.push_back(std::to_string(kSamplesPerMeasurement));
    Child host(args);
    if (port <= 0 || host.readLine() != "listening\n")
        return run;
    SimThread sim(oneDevice(uint32_t(measurements), kBlocksPerMeasurement, kSamplesPerBlock),
                  tcpLinks(port));
    sim.start();
    const bool finished = sim.waitUntilDone(kTransferLimitSeconds);
    sim.finish();
    host.writeLine("stop\n");
    double seconds = 0;
    int received = 0, ok = 0;
    const std::string result = host.readLine();
    host.wait();
    if (std::sscanf(result.c_str(), "%lf %d %d", &seconds, &received, &ok) != 3)
        return run;
    run.seconds = seconds;
    run.ok = finished && ok == 1 && received == measurements;
    return run;
}

} // namespace

TransferRun pythonTransferOnce(int measurements)
{
#ifdef LUMO_BENCH_PYTHON
    ::setenv("PYTHONPATH", LUMO_BENCH_PYTHONPATH, 1);
    return childTransferOnce(LUMO_BENCH_PYTHON, LUMO_BENCH_PYTHON_HOST, measurements);
#else
    return TransferRun{};
#endif
}

TransferRun nativeChildTransferOnce(int measurements)
{
#ifdef LUMO_BENCH_NATIVE_HOST
    return childTransferOnce(LUMO_BENCH_NATIVE_HOST, nullptr, measurements);
#else
    return TransferRun{};
#endif
}

} // namespace bench
