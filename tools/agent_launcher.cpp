// Plays the management agent's part in the demo: starts the metering program as its child (so
// that the program's parent check can name this launcher as the trusted parent), waits for it,
// and ends with its exit status. SIGTERM or SIGINT to the launcher kills the child, which itself
// ignores SIGTERM.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

volatile sig_atomic_t child = 0;

void stopChild(int) {
    if (child > 0) kill(child, SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARGUMENT ...]\n", argv[0]);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = stopChild;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 2;
    }
    if (pid == 0) {
        execv(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    child = pid;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
