// download_progress under a virtual X server of the test's own, downloading from a loopback
// HTTP server of the test's own. The program never ends by itself: every test kills it.
#include "contract.h"
#include "http_server.h"
#include "run_program.h"
#include "x_session.h"

#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static const std::string output_name = contract::download_output;

// Long enough for a sanitizer build on a busy machine.
static const double patience = 30;

// Distinct theme colours, so that the bar can be read from a screenshot: the bar's fill is
// drawn in the bar's PRELIGHT background, its trough in its NORMAL one.
static const unsigned long fill_colour = 0xff00ff, trough_colour = 0x0000ff;
static const char colours_rc[] = R"(style "window_colours" { bg[NORMAL] = "#00ff00" }
style "bar_colours" { bg[NORMAL] = "#0000ff" bg[PRELIGHT] = "#ff00ff" }
class "GtkWidget" style "window_colours"
class "GtkProgressBar" style "bar_colours"
)";

// A full bar still shows the trough's one-pixel padding at both ends.
static const double full = 0.97;

// Bytes that differ along the file, so that misplaced or repeated data shows.
static std::string test_body(size_t size) {
    std::string s(size, '\0');
    unsigned v = 12345;
    for (auto &ch : s) {
        v = v * 1103515245 + 12345;
        ch = static_cast<char>(v >> 16);
    }
    return s;
}

// Threads of process `pid` now (its entries under /proc/<pid>/task), or -1 when it is gone.
static int thread_count(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// The program's threads apart from the download thread: GLib and GTK start none here.
static const int main_threads = 1;

class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        start_xvfb(x);
        dir = make_run_dir();
        std::ofstream(dir + "/colours.gtkrc") << colours_rc;
    }
    void TearDown() override {
        kill_group(pid);
        stop_server(server);
        stop_xvfb(x);
    }

    // Starts the program with `args`, showing on the test's display unless told otherwise.
    void start(const std::vector<std::string> &args, std::map<std::string, std::string> env = {},
               const std::vector<std::string> &preload = {}) {
        env.emplace("DISPLAY", x.display);
        env["GTK2_RC_FILES"] = dir + "/colours.gtkrc";
        env["GTK_MODULES"] = "";
        run_options_t o;
        o.args = args;
        o.env = env;
        o.preload = preload;
        o.dir = dir;
        started = start_program("download_progress", o);
        pid = started.pid;
    }
    std::string err() {
        return read_file(started.err_path);
    }
    int warnings() {
        std::string e = err();
        int n = 0;
        for (size_t at = e.find("WARNING **"); at != std::string::npos;
             at = e.find("WARNING **", at + 1))
            ++n;
        return n;
    }
    std::string output_path() {
        return dir + "/" + output_name;
    }
    std::string downloaded() {
        return read_file(output_path());
    }
    Window window() {
        Window w = 0;
        wait_for([&] { return (w = find_window(x.dpy, pid)) != 0; }, patience);
        return w;
    }
    // Waits until the bar shows fill/(fill+trough) within [low, high] along its middle row.
    bool bar_shows(double low, double high) {
        return wait_for(
            [&] {
                Window w = find_window(x.dpy, pid);
                row_count_t r = count_row_colours(x.dpy, w, fill_colour, trough_colour);
                if (!r.ok || r.first + r.second < 100)
                    return false;
                double f = double(r.first) / (r.first + r.second);
                return f >= low && f <= high;
            },
            patience);
    }
    void expect_refused(const std::string &url, const std::string &warning, int requests);
    // The program is still up, has written nothing to standard output, and the window with it.
    void expect_still_up() {
        usleep(300000);
        EXPECT_TRUE(still_running(pid)) << err();
        EXPECT_EQ(read_file(started.out_path), "");
    }

    xvfb_t x;
    http_server_t server;
    started_program_t started;
    pid_t pid = -1; // of `started`, -1 once it is killed
    std::string dir;
};

TEST_F(Download, AnnouncedSizeFillsTheBarAndKeepsRunning) {
    const std::string body = test_body(300000);
    start_server(server, body);
    start({url_of(server, "/file")});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return downloaded() == body; }, patience)) << err();
    EXPECT_TRUE(bar_shows(full, 1.0)) << err();
    EXPECT_EQ(server_requests(server), 1);
    expect_still_up();
    EXPECT_NE(find_window(x.dpy, pid), 0u);
    EXPECT_EQ(err(), "");
}

// GTK takes its own options out of the arguments; the URL after them is still the one used.
TEST_F(Download, GtkOptionsBeforeTheUrlAreRemoved) {
    const std::string body = test_body(5000);
    start_server(server, body);
    start({"--display", x.display, "--sync", url_of(server, "/file")}, {{"DISPLAY", ""}});
    ASSERT_NE(window(), 0u) << err();
    EXPECT_TRUE(wait_for([&] { return downloaded() == body; }, patience)) << err();
    EXPECT_TRUE(bar_shows(full, 1.0));
    expect_still_up();
    EXPECT_EQ(err(), "");
}

// The window closed as a window manager closes it, in the middle of a download: the window
// goes, the process and the download go on to the end.
TEST_F(Download, ClosingTheWindowMidDownloadNeitherEndsNorCrashes) {
    const std::string body = test_body(400000);
    start_server(server, body);
    start({url_of(server, "/slow")});
    Window w = window();
    ASSERT_NE(w, 0u) << err();
    ASSERT_TRUE(wait_sent(server, body.size() / 2, patience));
    // Half the data has been seen by the progress callback.
    ASSERT_TRUE(bar_shows(0.4, 0.6)) << err();
    // The download thread, held in the transfer, is one thread more than the program's own.
    EXPECT_EQ(thread_count(pid), main_threads + 1);
    ASSERT_TRUE(accepts_delete(x.dpy, w));
    send_delete_window(x.dpy, w);
    ASSERT_TRUE(wait_for([&] { return find_window(x.dpy, pid) == 0; }, patience)) << err();
    EXPECT_TRUE(still_running(pid));
    release_slow(server);
    EXPECT_TRUE(wait_for([&] { return downloaded() == body; }, patience)) << err();
    EXPECT_TRUE(wait_for([&] { return thread_count(pid) == main_threads; }, patience));
    expect_still_up();
    EXPECT_EQ(err(), "");
}

TEST_F(Download, WithoutSizeTheBarStaysEmpty) {
    const std::string body = test_body(200000);
    start_server(server, body);
    start({url_of(server, "/nolength")});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return downloaded() == body; }, patience)) << err();
    usleep(300000);
    EXPECT_TRUE(bar_shows(0.0, 0.0));
    expect_still_up();
    EXPECT_EQ(err(), "");
}

// A connection cut mid-body: one warning with libcurl's reason, the data that came kept, the
// bar left where it was.
TEST_F(Download, CutConnectionWarnsAndKeepsWhatArrived) {
    const std::string body = test_body(100000);
    start_server(server, body);
    const std::string url = url_of(server, "/cut");
    start({url});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return warnings() > 0; }, patience)) << err();
    EXPECT_NE(err().find("download of \"" + url + "\" failed: transfer closed with 70000 bytes"),
              std::string::npos)
        << err();
    EXPECT_EQ(downloaded(), body.substr(0, 30000));
    EXPECT_TRUE(bar_shows(0.25, 0.35));
    expect_still_up();
    EXPECT_EQ(warnings(), 1) << err();
}

TEST_F(Download, UnreachableUrlWarnsAndLeavesAnEmptyFile) {
    // A bound port that does not listen refuses connections, and nobody else can take it.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(fd, (sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(getsockname(fd, (sockaddr *)&a, &len), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/file";
    start({url});
    ASSERT_NE(window(), 0u) << err();
    bool warned = wait_for([&] { return warnings() > 0; }, patience);
    close(fd);
    ASSERT_TRUE(warned) << err();
    EXPECT_NE(err().find("download of \"" + url + "\" failed: Failed to connect to 127.0.0.1"),
              std::string::npos)
        << err();
    EXPECT_TRUE(file_exists(output_path()));
    EXPECT_EQ(downloaded(), "");
    EXPECT_TRUE(bar_shows(0.0, 0.0));
    expect_still_up();
    EXPECT_EQ(warnings(), 1) << err();
}

TEST_F(Download, MissingUrlWarnsAndLeavesAnEmptyFile) {
    start({});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return warnings() > 0; }, patience)) << err();
    EXPECT_NE(err().find("download of \"(none)\" failed: No URL set"), std::string::npos) << err();
    EXPECT_TRUE(file_exists(output_path()));
    EXPECT_EQ(downloaded(), "");
    expect_still_up();
    EXPECT_NE(find_window(x.dpy, pid), 0u);
    EXPECT_EQ(warnings(), 1) << err();
}

// "test.curl" that cannot be opened (a directory, since tests may run as root): a warning with
// the name and the reason, no transfer at all, the window left up.
TEST_F(Download, UnopenableOutputWarnsAndTransfersNothing) {
    start_server(server, test_body(1000));
    ASSERT_EQ(mkdir(output_path().c_str(), 0755), 0);
    start({url_of(server, "/file")});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return warnings() > 0; }, patience)) << err();
    EXPECT_NE(err().find("cannot open \"" + output_name + "\" for writing: Is a directory"),
              std::string::npos)
        << err();
    expect_still_up();
    EXPECT_EQ(server_requests(server), 0);
    EXPECT_NE(find_window(x.dpy, pid), 0u);
    EXPECT_EQ(warnings(), 1) << err();
}

// Data held in the stream's buffer that cannot be written when the file is closed is reported.
TEST_F(Download, FailedFinalWriteIsReported) {
    const std::string body = test_body(1000);
    start_server(server, body);
    ASSERT_EQ(symlink("/dev/full", output_path().c_str()), 0);
    start({url_of(server, "/file")});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return warnings() > 0; }, patience)) << err();
    EXPECT_NE(err().find("cannot write \"" + output_name + "\": No space left on device"),
              std::string::npos)
        << err();
    EXPECT_TRUE(bar_shows(full, 1.0));
    expect_still_up();
    EXPECT_EQ(warnings(), 1) << err();
}

// The main thread's first thread start is the download thread's (GLib and GTK start none of
// their own from it before): when it fails, the warning, the window with an empty bar, no
// download and no "test.curl".
TEST_F(Download, FailedThreadStartWarnsAndKeepsTheWindow) {
    start_server(server, test_body(1000));
    start({url_of(server, "/file")}, {{"FAULT_PTHREAD_CREATE", "1"}}, {fault_library_path()});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return warnings() > 0; }, patience)) << err();
    EXPECT_NE(err().find("WARNING **: "), std::string::npos);
    EXPECT_NE(err().find(": can't create the thread\n"), std::string::npos) << err();
    EXPECT_TRUE(bar_shows(0.0, 0.0));
    expect_still_up();
    EXPECT_EQ(server_requests(server), 0);
    EXPECT_FALSE(file_exists(output_path()));
    EXPECT_EQ(warnings(), 1) << err();
}

// No transfer handle: the download thread ends at once and says nothing; no "test.curl".
TEST_F(Download, NoTransferHandleEndsTheThreadSilently) {
    start_server(server, test_body(1000));
    start({url_of(server, "/file")}, {{"FAULT_curl_easy_init", "1"}}, {fault_library_path()});
    ASSERT_NE(window(), 0u) << err();
    // The download thread is started before the main loop that shows the window: once the
    // program is back to its own threads, the download thread has come and gone.
    ASSERT_TRUE(wait_for([&] { return thread_count(pid) == main_threads; }, patience))
        << thread_count(pid);
    expect_still_up();
    EXPECT_EQ(server_requests(server), 0);
    EXPECT_FALSE(file_exists(output_path()));
    EXPECT_NE(find_window(x.dpy, pid), 0u);
    EXPECT_EQ(err(), "");
}

// A download that must not happen: started with `url`, it ends in exactly one warning holding
// `warning`, after `requests` requests; the file stays empty, the bar empty, the window up.
void Download::expect_refused(const std::string &url, const std::string &warning, int requests) {
    start({url});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return warnings() > 0; }, patience)) << err();
    EXPECT_NE(err().find("download of \"" + url + "\" failed: " + warning), std::string::npos)
        << err();
    EXPECT_EQ(downloaded(), "");
    EXPECT_TRUE(bar_shows(0.0, 0.0));
    expect_still_up();
    EXPECT_NE(find_window(x.dpy, pid), 0u);
    EXPECT_EQ(server_requests(server), requests);
    EXPECT_EQ(warnings(), 1) << err();
}

// An error page is no download, whatever it holds: none of its bytes reach the file.
TEST_F(Download, NotFoundWarnsAndKeepsNoByteOfTheErrorPage) {
    start_server(server, test_body(100000));
    expect_refused(url_of(server, "/status/404"), "HTTP status 404", 1);
}

TEST_F(Download, ServerErrorWarnsAndKeepsNoByteOfTheErrorPage) {
    start_server(server, test_body(100000));
    expect_refused(url_of(server, "/status/500"), "HTTP status 500", 1);
}

// A redirect is followed to the file; the redirect's own page is not kept.
TEST_F(Download, RedirectIsFollowedToTheFile) {
    const std::string body = test_body(50000);
    start_server(server, body);
    start({url_of(server, "/redirect?to=/file")});
    ASSERT_NE(window(), 0u) << err();
    ASSERT_TRUE(wait_for([&] { return downloaded() == body; }, patience)) << err();
    EXPECT_TRUE(bar_shows(full, 1.0));
    EXPECT_EQ(server_requests(server), 2);
    expect_still_up();
    EXPECT_EQ(err(), "");
}

TEST_F(Download, RedirectsStopAfterTen) {
    start_server(server, test_body(1000));
    expect_refused(url_of(server, "/loop"), "Maximum (10) redirects followed", 11);
}

// Only http and https are fetched: a local file is neither read when named nor when a server
// redirects to it.
TEST_F(Download, FileUrlsAreRefusedDirectlyAndAfterARedirect) {
    const std::string secret = "not for the download\n";
    std::ofstream(dir + "/secret") << secret;
    const std::string file_url = "file://" + dir + "/secret";
    start_server(server, test_body(1000));
    expect_refused(file_url, "Protocol \"file\" not supported", 0);
    kill_group(pid);
    expect_refused(url_of(server, "/redirect?to=" + file_url), "Protocol \"file\" not supported",
                   1);
}
