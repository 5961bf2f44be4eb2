// The instrumented-library script's choice of source revisions, against a stand-in Debian
// archive on loopback whose index lists revisions whose files it no longer serves.
#include "http_server.h"
#include "run_program.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

struct source_t {
    std::string name;    // source package
    std::string version; // as the index lists it
    bool served = true;  // whether the archive has its files
};

std::string installed_source_version(const std::string &binary) {
    std::string v = capture_output({"dpkg-query", "-W", "-f=${source:Version}", binary}, {}, 30);
    if (v.empty())
        throw std::runtime_error(binary + " is not installed");
    return v;
}

std::string without_epoch(const std::string &v) {
    return v.substr(v.find(':') + 1);
}

std::string sha256_of(const std::string &dir, const std::string &bytes) {
    const std::string path = dir + "/hashed";
    std::ofstream(path, std::ios::binary) << bytes;
    return capture_output({"sha256sum", path}, {}, 30).substr(0, 64);
}

// Files of a small archive under /debian: one suite with the index of `sources` (no Release
// file: the sources line trusts it) and the pool files of those that are served.
std::map<std::string, std::string> archive_files(const std::vector<source_t> &sources,
                                                 const std::string &scratch) {
    std::map<std::string, std::string> files;
    std::string index;
    for (const auto &s : sources) {
        const std::string v = without_epoch(s.version);
        const std::string upstream = v.substr(0, v.rfind('-'));
        const std::string dir =
            "pool/main/" + s.name.substr(0, s.name.rfind("lib", 0) == 0 ? 4 : 1) + "/" + s.name;
        index += "Package: " + s.name + "\nVersion: " + s.version +
                 "\nFormat: 3.0 (quilt)\nDirectory: " + dir + "\nChecksums-Sha256:\n";
        for (const std::string &f :
             {s.name + "_" + v + ".dsc", s.name + "_" + upstream + ".orig.tar.gz",
              s.name + "_" + v + ".debian.tar.xz"}) {
            const std::string body = "stand-in " + f + "\n";
            index +=
                " " + sha256_of(scratch, body) + " " + std::to_string(body.size()) + " " + f + "\n";
            if (s.served)
                files["/debian/" + dir + "/" + f] = body;
        }
        index += "\n";
    }
    files["/debian/dists/corpus-test/main/source/Sources"] = index;
    return files;
}

// How the script is run: fetching the sources only or building too, with --full or not, and
// with its own PATH when `path` is given.
struct script_run_t {
    bool full = false;
    bool build = false;
    std::string path;
};

// Runs the script against `sources` and returns what it did.
run_result_t run_script(const std::vector<source_t> &sources, const script_run_t &how = {}) {
    const std::string dir = make_run_dir();
    http_server_t server;
    start_file_server(server, archive_files(sources, dir));
    // A blank line and options in the list, as a hand-written one may have them.
    std::ofstream(dir + "/sources.list") << "\ndeb-src [trusted=yes arch=amd64] "
                                         << url_of(server, "/debian") << " corpus-test main\n";
    // Libraries built before: fetching the sources leaves them alone.
    std::filesystem::create_directories(dir + "/prefix");
    std::ofstream(dir + "/prefix/.made-by-build-instrumented-libs");
    std::ofstream(dir + "/prefix/built") << "x";
    run_options_t opts;
    opts.dir = dir;
    opts.args = {CORPUS_LIBS_SCRIPT, "--prefix",  dir + "/prefix",      "--work",
                 dir + "/work",      "--sources", dir + "/sources.list"};
    if (!how.build)
        opts.args.push_back("--download-only");
    if (how.full)
        opts.args.push_back("--full");
    if (!how.path.empty())
        opts.env["PATH"] = how.path;
    opts.timeout_seconds = 120;
    run_result_t r = run_program("/bin/bash", opts);
    stop_server(server);
    if (!how.build) {
        EXPECT_TRUE(file_exists(dir + "/prefix/built")) << "the built libraries were removed";
    }
    EXPECT_EQ(file_exists(dir + "/work/logs/unpack-zlib.log"), how.build && r.status == 0)
        << "the sources were unpacked";
    return r;
}

// The installed version of each library's source, as --full fetches them.
std::vector<source_t> full_set() {
    const std::vector<std::pair<std::string, std::string>> packages = {
        {"zlib", "zlib1g"},
        {"expat", "libexpat1"},
        {"libpng1.6", "libpng16-16"},
        {"curl", "libcurl4"},
        {"glib2.0", "libglib2.0-0"},
        {"gtk+2.0", "libgtk2.0-0"},
        {"imagemagick", "libmagickcore-6.q16-6"}};
    std::vector<source_t> sources;
    for (const auto &[source, binary] : packages)
        sources.push_back({source, installed_source_version(binary)});
    return sources;
}

} // namespace

TEST(InstrumentedLibs, ANearestWholeRevisionStandsInForOneWhoseFilesAreGone) {
    const std::string zlib = installed_source_version("zlib1g");
    const std::string expat = installed_source_version("libexpat1");
    const std::string png = installed_source_version("libpng16-16");
    // expat's installed revision and the next newer one are listed but not served; of the two
    // whole older ones the newer is the nearer.
    run_result_t r = run_script({{"zlib", zlib},
                                 {"expat", expat, false},
                                 {"expat", expat + ".1", false},
                                 {"expat", expat + "~1"},
                                 {"expat", expat + "~2"},
                                 {"libpng1.6", png}});
    ASSERT_TRUE(r.exited && r.status == 0) << r.out << r.err;
    EXPECT_EQ(count_lines(r.out, "zlib installed " + zlib + " fetched " + zlib), 1) << r.out;
    EXPECT_EQ(count_lines(r.out, "expat installed " + expat + " fetched " + expat + "~2"), 1)
        << r.out;
    EXPECT_EQ(count_lines(r.out, "libpng1.6 installed " + png + " fetched " + png), 1) << r.out;
    EXPECT_EQ(count_prefixed(r.out, "instrumented libraries: could not fetch expat "), 2) << r.out;
    EXPECT_EQ(count_lines(r.out, "instrumented libraries: NOTE: source expat " + expat +
                                     " (installed) cannot be fetched from the archive; building " +
                                     expat + "~2 (same upstream version)"),
              1)
        << r.out;
}

TEST(InstrumentedLibs, NoRevisionWithItsFilesStopsWithTheReason) {
    const std::string expat = installed_source_version("libexpat1");
    run_result_t r = run_script({{"zlib", installed_source_version("zlib1g")},
                                 {"expat", expat, false},
                                 {"expat", expat + "~1", false},
                                 {"libpng1.6", installed_source_version("libpng16-16")}});
    EXPECT_TRUE(r.exited && r.status == 1) << r.out << r.err;
    EXPECT_NE(r.err.find("source expat " + expat + " (installed) cannot be fetched"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(count_prefixed(r.out, "zlib installed "), 0) << r.out;
}

// --full fetches the source of every library the programs drive, each picked by the installed
// version of the binary package they load; fetching needs none of the build tools.
TEST(InstrumentedLibs, TheFullSetTakesTheSourceOfEachLibraryTheProgramsLoad) {
    const std::vector<source_t> sources = full_set();
    run_result_t r = run_script(sources, {true, false, ""});
    ASSERT_TRUE(r.exited && r.status == 0) << r.out << r.err;
    for (const auto &s : sources)
        EXPECT_EQ(count_lines(r.out, s.name + " installed " + s.version + " fetched " + s.version),
                  1)
            << r.out;
}

// Building the full set without one of its tools stops, naming the tool and what installs it,
// once the sources are fetched and before anything is unpacked.
TEST(InstrumentedLibs, AFullBuildWithoutMesonStopsBeforeUnpacking) {
    const std::string bin = make_run_dir();
    for (const auto &tool : std::filesystem::directory_iterator("/usr/bin"))
        if (tool.path().filename() != "meson")
            std::filesystem::create_symlink(tool.path(), bin / tool.path().filename());
    run_result_t r = run_script(full_set(), {true, true, bin});
    EXPECT_TRUE(r.exited && r.status == 1) << r.out << r.err;
    EXPECT_EQ(count_prefixed(r.out, "instrumented libraries: fetching "), 7) << r.out;
    EXPECT_NE(r.err.find("'meson' is missing (scripts/install-deps.sh --full installs it)"),
              std::string::npos)
        << r.err;
}
