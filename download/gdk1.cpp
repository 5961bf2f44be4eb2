// download_progress: downloads the URL given on the command line into "test.curl" with libcurl
// on a thread of its own, while a GTK+ 2 window shows the progress in a single bar.
#include <curl/curl.h>
#include <gtk/gtk.h>

#include <cerrno>
#include <cstdio>

// The progress bar; set once by main before the download thread starts, only read afterwards.
GtkWidget *Bar;

static size_t my_write_func(void *ptr, size_t size, size_t nmemb, FILE *stream) {
    return fwrite(ptr, size, nmemb, stream);
}

static size_t my_read_func(void *ptr, size_t size, size_t nmemb, FILE *stream) {
    return fread(ptr, size, nmemb, stream);
}

static int my_progress_func(GtkWidget *bar, double t, double d, double, double) {
    gdk_threads_enter();
    // An unknown total (0) leaves the bar where it is.
    if (t > 0)
        gtk_progress_set_value(GTK_PROGRESS(bar), 100.0 * d / t);
    gdk_threads_leave();
    return 0;
}

// Gives back the reference main took on the bar for this thread, under the GDK lock, since
// the main loop may be dropping its own at the same time.
static void release_bar() {
    gdk_threads_enter();
    g_object_unref(Bar);
    gdk_threads_leave();
}

static void *my_thread(void *ptr) {
    static const char output_name[] = "test.curl";
    const char *url = static_cast<const char *>(ptr);
    CURL *curl = curl_easy_init();
    if (!curl) {
        release_bar();
        return nullptr;
    }
    FILE *outfile = fopen(output_name, "wb");
    if (!outfile) {
        g_log(nullptr, G_LOG_LEVEL_WARNING, "cannot open \"%s\" for writing: %s", output_name,
              g_strerror(errno));
        curl_easy_cleanup(curl);
        release_bar();
        return nullptr;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, outfile);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, my_write_func);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, my_read_func);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, my_progress_func);
    curl_easy_setopt(curl, CURLOPT_PROGRESSDATA, Bar);
    // libcurl's detailed message for a failed transfer.
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);

    CURLcode res = curl_easy_perform(curl);
    if (res != CURLE_OK)
        g_log(nullptr, G_LOG_LEVEL_WARNING, "download of \"%s\" failed: %s", url ? url : "(none)",
              error[0] ? error : curl_easy_strerror(res));
    // Data still in the stream's buffer is written here; losing it must not go unnoticed.
    if (fclose(outfile) != 0)
        g_log(nullptr, G_LOG_LEVEL_WARNING, "cannot write \"%s\": %s", output_name,
              g_strerror(errno));
    curl_easy_cleanup(curl);
    release_bar();
    return nullptr;
}

int main(int argc, char **argv) {
    curl_global_init(CURL_GLOBAL_ALL);
    g_thread_init(nullptr);
    gdk_threads_init();
    gtk_init(&argc, &argv);

    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget *frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_OUT);
    gtk_container_add(GTK_CONTAINER(window), frame);
    GtkWidget *frame1 = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame1), GTK_SHADOW_IN);
    gtk_container_add(GTK_CONTAINER(frame), frame1);
    gtk_container_set_border_width(GTK_CONTAINER(frame1), 5);
    GtkAdjustment *adj = GTK_ADJUSTMENT(gtk_adjustment_new(0, 0, 100, 0, 0, 0));
    Bar = gtk_progress_bar_new_with_adjustment(adj);
    gtk_container_add(GTK_CONTAINER(frame1), Bar);
    gtk_widget_show_all(window);

    // The download thread keeps the bar alive until its transfer is over, even when the
    // window is closed and destroys the bar's widget tree meanwhile.
    g_object_ref(Bar);
    if (!g_thread_create(&my_thread, argv[1], FALSE, nullptr)) {
        g_log(nullptr, G_LOG_LEVEL_WARNING, "can't create the thread");
        g_object_unref(Bar);
    }

    gdk_threads_enter();
    gtk_main();
    gdk_threads_leave();
    return 0;
}
