// The trace recorder writes whole lines from many threads at once, and nothing at all, nor
// anything else, when it has no trace to write. The recorder decides once per process, so
// each case runs in a child process of its own.
#include "trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <pthread.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

static std::string temp_path(const std::string &name) {
    return testing::TempDir() + "trace_recorder_" + std::to_string(getpid()) + "_" + name;
}

static std::string contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the body named `body` in a new process of this test program (the recorder decides
// while the process starts) with CORPUS_TRACE set to `trace` (unset when empty) and its
// standard output and error going to `output`; returns the body's exit status (its verdict).
static int in_child(const std::string &trace, const std::string &output, const char *body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (trace.empty())
            unsetenv("CORPUS_TRACE");
        else
            setenv("CORPUS_TRACE", trace.c_str(), 1);
        setenv("TRACE_RECORDER_BODY", body, 1);
        setenv("TRACE_RECORDER_OUTPUT", output.c_str(), 1);
        // GoogleTest's own lines before the body go nowhere.
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(100);
        execl("/proc/self/exe", "trace_recorder_test", "--gtest_also_run_disabled_tests",
              "--gtest_filter=TraceRecorderChild.DISABLED_Body", nullptr);
        _exit(101);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

static void *thousand_events(void *) {
    for (int i = 0; i < 1000; ++i)
        if (i % 2 == 0)
            trace_event("enter");
        else
            trace_mark("a b");
    return nullptr;
}

static int ten_threads() {
    pthread_t threads[10];
    for (pthread_t &t : threads)
        if (pthread_create(&t, nullptr, thousand_events, nullptr) != 0)
            return 1;
    for (pthread_t &t : threads)
        pthread_join(t, nullptr);
    return 0;
}

TEST(TraceRecorder, ManyThreadsWriteWholeLines) {
    std::string trace = temp_path("many.trace"), output = temp_path("many.out");
    std::ofstream(trace) << "kept\n"; // appended to, not replaced
    ASSERT_EQ(in_child(trace, output, "ten_threads"), 0);
    EXPECT_EQ(contents(output), "");
    std::istringstream lines(contents(trace));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "kept");
    std::map<long, long long> last_ns;
    std::map<long, int> per_thread;
    int bad = 0;
    while (std::getline(lines, line)) {
        // NS TID enter|mark:a b
        const size_t first = line.find(' '), second = line.find(' ', first + 1);
        const std::string ns_text = line.substr(0, first),
                          tid_text = first == std::string::npos
                                         ? ""
                                         : line.substr(first + 1, second - first - 1),
                          event = second == std::string::npos ? "" : line.substr(second + 1);
        auto number = [](const std::string &s) {
            return !s.empty() && s.size() < 19 &&
                   s.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!number(ns_text) || !number(tid_text) || (event != "enter" && event != "mark:a b")) {
            ++bad;
            continue;
        }
        long tid = std::stol(tid_text);
        long long ns = std::stoll(ns_text);
        EXPECT_LE(last_ns[tid], ns) << "a thread's clock went back";
        last_ns[tid] = ns;
        ++per_thread[tid];
    }
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(per_thread.size(), 10u);
    for (const auto &[tid, count] : per_thread)
        EXPECT_EQ(count, 1000) << "thread " << tid;
}

static int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

static int untraced_opens_nothing() {
    int before = open_descriptors();
    trace_event("enter");
    trace_mark("lock");
    return before > 0 && open_descriptors() == before ? 0 : 1;
}

static int errno_survives() {
    errno = EDOM;
    trace_event("enter");
    trace_mark("lock");
    return errno == EDOM ? 0 : 1;
}

TEST(TraceRecorder, NoTraceOrAFailingOneLeavesTheProgramAlone) {
    std::string output = temp_path("quiet.out");
    EXPECT_EQ(in_child("", output, "untraced_opens_nothing"), 0);
    EXPECT_EQ(contents(output), "");
    EXPECT_EQ(in_child("/nonexistent-dir/trace", output, "errno_survives"), 0);
    EXPECT_EQ(contents(output), "");
    EXPECT_EQ(in_child("/dev/full", output, "errno_survives"), 0); // every write fails
    EXPECT_EQ(contents(output), "");
}

// The body that in_child asks for, in the new process, with its output where asked.
TEST(TraceRecorderChild, DISABLED_Body) {
    const std::map<std::string, int (*)()> bodies{
        {"ten_threads", ten_threads},
        {"untraced_opens_nothing", untraced_opens_nothing},
        {"errno_survives", errno_survives}};
    const char *name = getenv("TRACE_RECORDER_BODY");
    const char *output = getenv("TRACE_RECORDER_OUTPUT");
    ASSERT_TRUE(name && output && bodies.count(name));
    int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
        _exit(100);
    close(fd);
    _exit(bodies.at(name)());
}
