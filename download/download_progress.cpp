// download_progress: downloads the URL given on the command line into "test.curl" with libcurl
// on a thread of its own, while a GTK+ 2 window shows the progress in a single bar. One
// program, no twin. Only http and https are fetched, redirects are followed (at most 10, to
// http and https only), and a response with status 400 or more is a failed download: a GLib
// warning, and none of its body in the file. Race-free: the bar is set before the download
// thread starts and touched by both threads only under the GDK lock; the transfer handle and
// the file belong to the download thread alone.
// Two twins break one library's rule each and change nothing else. HANDOVER
// (download_progress_handover) breaks libcurl's "never share a handle between threads": the
// transfer handle is made on a thread of its own and handed to the download thread without a
// happens-before edge, so libcurl's stores as it makes the handle race with its accesses as the
// download thread sets and runs the transfer. UNGUARDED (download_progress_unguarded) breaks
// GTK+ 2's "one thread at a time, under the GDK lock": the download thread moves the bar
// without gdk_threads_enter, while main's loop may be drawing it.
#include "contract.h"
#include "handover.h"
#include "trace.h"

#include <curl/curl.h>
#include <gtk/gtk.h>

#include <cerrno>
#include <cstdio>

// The progress bar; set once by main before the download thread starts, only read afterwards.
static GtkWidget *progress_bar;

// Schemes fetched, for the URL given and for every redirect.
static const char allowed_protocols[] = "http,https";
constexpr long max_redirects = 10;

// What the transfer's callbacks work with; owned by the download thread.
struct transfer_t {
    CURL *curl;
    FILE *file;
    GtkWidget *bar;
};

// The status of the response being received now; 0 before its status line.
static long response_status(CURL *curl) {
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

static bool is_error_status(long status) {
    return status >= 400;
}

// Writes received body bytes to the file, unless they belong to an error response: then no
// byte is written and the transfer is stopped (libcurl takes the short count as a failure).
static size_t write_body(void *data, size_t size, size_t count, transfer_t *transfer) {
    if (is_error_status(response_status(transfer->curl)))
        return 0;
    return fwrite(data, size, count, transfer->file);
}

static int show_progress(transfer_t *transfer, double total, double received, double, double) {
    // An unknown total (0) leaves the bar where it is, and so does any response but a
    // successful one (a redirect's or an error's).
    long status = response_status(transfer->curl);
    if (total <= 0 || status < 200 || status >= 300)
        return 0;
    constexpr bool gdk_lock = !variant::unguarded;
    if constexpr (gdk_lock) {
        gdk_threads_enter();
        trace_event("acquire");
    }
    gtk_progress_set_value(GTK_PROGRESS(transfer->bar), 100.0 * received / total);
    if constexpr (gdk_lock) {
        trace_event("release");
        gdk_threads_leave();
    }
    return 0;
}

// Gives back the reference main took on the bar for this thread, under the GDK lock, since
// the main loop may be dropping its own at the same time.
static void release_bar() {
    gdk_threads_enter();
    g_object_unref(progress_bar);
    gdk_threads_leave();
}

// The hand-over's maker (HANDOVER): the transfer handle, made on a thread of its own.
[[maybe_unused]] static void make_handle(void *, void *made[2]) {
    made[0] = made[1] = curl_easy_init();
}

// The transfer handle: made here, or taken from the maker thread (nullptr when it could not be
// made, or the maker not started; `maker_started` says which).
static CURL *new_handle(handover_t &handover, bool &maker_started) {
    maker_started = false;
    if constexpr (!variant::handover)
        return curl_easy_init();
    if (int err = handover_start(handover, make_handle, nullptr); err != 0) {
        g_log(nullptr, G_LOG_LEVEL_WARNING, "can't create the thread that makes the handle: %s",
              g_strerror(err));
        return nullptr;
    }
    maker_started = true;
    return static_cast<CURL *>(handover_take(handover, 0));
}

// Once the handle is cleaned up (or was never made): the maker thread is joined only now, so
// that the join orders nothing before the handle's last use.
static void end_handle(handover_t &handover, bool maker_started) {
    if constexpr (variant::handover) {
        if (maker_started)
            handover_finish(handover);
    }
}

static void *download_worker(void *arg) {
    const char *url = static_cast<const char *>(arg);
    const char *shown_url = url ? url : "(none)";
    handover_t handover;
    bool maker_started;
    CURL *curl = new_handle(handover, maker_started);
    if (!curl) {
        end_handle(handover, maker_started);
        release_bar();
        return nullptr;
    }
    FILE *file = fopen(contract::download_output, "wb");
    if (!file) {
        g_log(nullptr, G_LOG_LEVEL_WARNING, "cannot open \"%s\" for writing: %s",
              contract::download_output, g_strerror(errno));
        curl_easy_cleanup(curl);
        end_handle(handover, maker_started);
        release_bar();
        return nullptr;
    }
    transfer_t transfer{curl, file, progress_bar};
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, allowed_protocols);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, allowed_protocols);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, max_redirects);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, show_progress);
    curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, &transfer);
    // libcurl's detailed message for a failed transfer.
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);

    trace_event("enter");
    CURLcode res = curl_easy_perform(curl);
    trace_event("leave");
    // An error response fails the download even when it came without a body, so that libcurl
    // saw no failure at all.
    long status = response_status(curl);
    if (is_error_status(status))
        g_log(nullptr, G_LOG_LEVEL_WARNING, "download of \"%s\" failed: HTTP status %ld", shown_url,
              status);
    else if (res != CURLE_OK)
        g_log(nullptr, G_LOG_LEVEL_WARNING, "download of \"%s\" failed: %s", shown_url,
              error[0] ? error : curl_easy_strerror(res));
    // Data still in the stream's buffer is written here; losing it must not go unnoticed.
    if (fclose(file) != 0)
        g_log(nullptr, G_LOG_LEVEL_WARNING, "cannot write \"%s\": %s", contract::download_output,
              g_strerror(errno));
    curl_easy_cleanup(curl);
    end_handle(handover, maker_started);
    release_bar();
    return nullptr;
}

int main(int argc, char **argv) {
    curl_global_init(CURL_GLOBAL_ALL);
    g_thread_init(nullptr);
    gdk_threads_init();
    gtk_init(&argc, &argv);

    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *outer_frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(outer_frame), GTK_SHADOW_OUT);
    gtk_container_add(GTK_CONTAINER(window), outer_frame);
    GtkWidget *inner_frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(inner_frame), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(outer_frame), inner_frame);
    gtk_container_set_border_width(GTK_CONTAINER(inner_frame), 5);
    GtkAdjustment *percent = GTK_ADJUSTMENT(gtk_adjustment_new(0, 0, 100, 0, 0, 0));
    progress_bar = gtk_progress_bar_new_with_adjustment(percent);
    gtk_container_add(GTK_CONTAINER(inner_frame), progress_bar);
    gtk_widget_show_all(window);

    // The download thread keeps the bar alive until its transfer is over, even when the
    // window is closed and destroys the bar's widget tree meanwhile.
    g_object_ref(progress_bar);
    if (!g_thread_create(&download_worker, argv[1], FALSE, nullptr)) {
        g_log(nullptr, G_LOG_LEVEL_WARNING, "can't create the thread");
        g_object_unref(progress_bar);
    }

    gdk_threads_enter();
    gtk_main();
    gdk_threads_leave();
    return 0;
}
