// Every contract check accepts a good run and fails on a deliberately broken one.
#include "checks.h"
#include "manifest.h"
#include "png_io.h"
#include "run_program.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

static manifest_t manifest() {
    static manifest_t m = load_manifest(CORPUS_MANIFEST);
    return m;
}

static const program_t &prog(const std::string &name) {
    static manifest_t m = manifest();
    const program_t *p = find_program(m, name);
    if (!p)
        throw std::runtime_error("no " + name);
    return *p;
}

static run_output_t exited_ok(const std::string &out) {
    run_output_t r;
    r.out = out;
    r.exited = true;
    r.status = 0;
    return r;
}

static std::string joined(const check_result_t &c) {
    std::string s;
    for (const auto &p : c.problems)
        s += p + "\n";
    return s;
}

#define EXPECT_PASSES(p, r)                                                                        \
    do {                                                                                           \
        check_result_t c_ = check_run(p, r);                                                       \
        EXPECT_TRUE(c_.ok) << joined(c_);                                                          \
    } while (0)
#define EXPECT_FAILS(p, r, text)                                                                   \
    do {                                                                                           \
        check_result_t c_ = check_run(p, r);                                                       \
        EXPECT_FALSE(c_.ok);                                                                       \
        EXPECT_NE(joined(c_).find(text), std::string::npos) << joined(c_);                         \
    } while (0)

static std::string replace_once(std::string s, const std::string &from, const std::string &to) {
    size_t at = s.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("no " + from);
    return s.replace(at, from.size(), to);
}

static std::string launcher(int i, bool result) {
    return "main() : creating thread, " + std::to_string(i) + "\n" +
           (result ? "Result is 0\n" : "");
}

// --- XML ------------------------------------------------------------------------------------

static const std::string doc = "<r id=\"7\"><c>hi</c><d/></r>";

TEST(XmlOutline, FollowsThePrinterRules) {
    EXPECT_EQ(xml_outline(doc), "r id= '7'\n"
                                " c\n"
                                "  Content of element c was \"hi\"\n"
                                " d\n"
                                "  Content of element d was \"hi\"\n"
                                " Content of element r was \"hi\"\n");
    EXPECT_NE(xml_outline("<r><c>").find("Error: "), std::string::npos);
}

static run_output_t xml_run(const std::string &out) {
    run_output_t r = exited_ok(out);
    r.inputs["FirstTest.xml"] = doc;
    return r;
}

TEST(XmlChecks, SingleNeedsTheWholeReport) {
    const program_t &p = prog("xml_single");
    std::string good = "strlen(buff) before parsing: 0\n" + xml_outline(doc) + "Result is 0\n";
    EXPECT_PASSES(p, xml_run(good));
    EXPECT_FAILS(p, xml_run(replace_once(good, "Result is 0\n", "")), "line 8");
    EXPECT_FAILS(p, xml_run(replace_once(good, " d\n", "")), "line 5");
    run_output_t failed = xml_run(good);
    failed.status = 1;
    EXPECT_FAILS(p, failed, "exit status 1");
    run_output_t complained = xml_run(good);
    complained.err = "warning: something\n";
    EXPECT_FAILS(p, complained, "standard error not empty");
}

// Launcher lines first, then the ten workers one after the other.
static std::string fanout_output(const std::string &open, const std::string &close) {
    std::string out;
    for (int i = 0; i < 10; ++i)
        out += launcher(i, true);
    for (int i = 0; i < 10; ++i)
        out += open + "\nstrlen(buff) before parsing: 0\n" + xml_outline(doc) + close + "\n";
    return out;
}

TEST(XmlChecks, FanoutCountsMarkersAndLines) {
    const program_t &locked = prog("xml_fanout_locked");
    const program_t &unlocked = prog("xml_fanout_unlocked");
    std::string good = fanout_output("lock", "unlock");
    EXPECT_PASSES(locked, xml_run(good));
    check_result_t c = check_run(locked, xml_run(good));
    EXPECT_EQ(c.markers, "10 lock 10 unlock");
    EXPECT_PASSES(unlocked, xml_run(fanout_output("start", "end")));

    EXPECT_FAILS(locked, xml_run(replace_once(good, "unlock\n", "")), "9 \"unlock\" markers");
    EXPECT_FAILS(locked, xml_run(fanout_output("start", "end")), "0 \"lock\" markers");
    EXPECT_FAILS(locked, xml_run(replace_once(good, "  Content of element c was \"hi\"\n", "")),
                 "missing line");
    EXPECT_FAILS(locked, xml_run(replace_once(good, "Result is 0\n", "Result is 11\n")),
                 "unexpected line(s) \"Result is 11\"");
    // Creation lines out of order.
    std::string swapped = replace_once(good, "thread, 1\n", "thread, X\n");
    swapped = replace_once(swapped, "thread, 2\n", "thread, 1\n");
    swapped = replace_once(swapped, "thread, X\n", "thread, 2\n");
    EXPECT_FAILS(locked, xml_run(swapped), "in order");
}

TEST(XmlChecks, OnlyTheSerializedVariantNeedsUnbrokenBlocks) {
    // Two workers' outlines mixed line by line: fine without the lock, a fault with it.
    auto mixed = [](const std::string &open, const std::string &close) {
        std::string out;
        for (int i = 0; i < 10; ++i)
            out += launcher(i, true);
        std::vector<std::string> block{open, "strlen(buff) before parsing: 0"};
        const std::string outline = xml_outline(doc);
        for (const auto &l : text_lines(outline))
            block.push_back(std::string(l));
        block.push_back(close);
        for (const auto &l : block)
            out += l + "\n" + l + "\n";
        for (int i = 0; i < 8; ++i)
            for (const auto &l : block)
                out += l + "\n";
        return out;
    };
    EXPECT_PASSES(prog("xml_fanout_unlocked"), xml_run(mixed("start", "end")));
    EXPECT_FAILS(prog("xml_fanout_locked"), xml_run(mixed("lock", "unlock")), "unbroken blocks");
}

TEST(XmlChecks, AProcessWidePrinterCarriesItsStateFromWorkerToWorker) {
    // Worker 2 starts with worker 1's latest content, so its "a" ends with "text".
    printer_state_t printer;
    const std::string carried = "<r><a/>text</r>";
    xml_worker_lines(carried, printer);
    expected_lines_t second = xml_worker_lines(carried, printer), wanted;
    wanted.add("  Content of element a was \"text\"");
    EXPECT_NE(std::find(second.hashes.begin(), second.hashes.end(), wanted.hashes[0]),
              second.hashes.end());
    // The real programs, on that document and on one that leaves elements open (the depth
    // then drifts from worker to worker), pass their checks; the serialized one must keep
    // its workers' blocks in the order the state went.
    if (!file_exists(program_path("xml_fanout_locked")))
        GTEST_SKIP() << "the XML programs are not part of this build";
    const std::string lines_doc = "<r>\n<a/>two\nlines</r>\n";
    for (const std::string &document : {carried, std::string("<r><a>open"), lines_doc}) {
        for (const char *name : {"xml_fanout_locked", "xml_fanout_unlocked", "xml_single"}) {
            run_options_t o;
            o.files["FirstTest.xml"] = document;
            run_result_t r = run_program(name, o);
            run_output_t out = exited_ok(r.out);
            out.status = r.status;
            out.err = r.err;
            out.inputs["FirstTest.xml"] = document;
            EXPECT_PASSES(prog(name), out);
            if (std::string(name) == "xml_fanout_locked" && document != lines_doc) {
                // The first two workers' blocks exchanged: their state differs on these two
                // documents (the newline one leaves the same state to every worker).
                size_t first = r.out.find("\nlock\n") + 1;
                size_t second_at = r.out.find("\nlock\n", first) + 1;
                size_t third = r.out.find("\nlock\n", second_at) + 1;
                std::string swapped = r.out.substr(0, first) +
                                      r.out.substr(second_at, third - second_at) +
                                      r.out.substr(first, second_at - first) + r.out.substr(third);
                out.out = swapped;
                EXPECT_FAILS(prog(name), out, "unbroken blocks");
            }
        }
    }
}

TEST(XmlChecks, RacyTwinsHoldTheirLooserContracts) {
    const program_t &buffer = prog("xml_fanout_racy");
    const program_t &depth = prog("xml_printer_racy");
    const std::string good = fanout_output("start", "end");
    EXPECT_PASSES(buffer, xml_run(good));
    EXPECT_PASSES(depth, xml_run(good));
    // A parse that read the shared buffer while another worker cleared it.
    std::string garbled = replace_once(good, "parsing: 0\n", "parsing: 27\n");
    garbled = replace_once(garbled, " d\n  Content of element d was \"hi\"\n",
                           "Error: not well-formed (invalid token)\n");
    EXPECT_PASSES(buffer, xml_run(garbled));
    EXPECT_FAILS(depth, xml_run(garbled), "missing line");
    EXPECT_FAILS(buffer, xml_run(replace_once(good, "end\n", "")), "9 \"end\" markers");
    EXPECT_FAILS(buffer, xml_run(replace_once(good, "strlen(buff) before parsing: 0\n", "")),
                 "9 length lines");
    EXPECT_FAILS(buffer, xml_run(replace_once(good, "parsing: 0\n", "parsing: many\n")),
                 "malformed length line");
    EXPECT_FAILS(buffer, xml_run(replace_once(good, "Result is 0\n", "Result is 1\n")),
                 "unexpected result line");
    // Indented by a depth that other workers moved: only the shared-depth twin may do that.
    const std::string shifted = replace_once(good, " c\n", "    c\n");
    EXPECT_PASSES(depth, xml_run(shifted));
    EXPECT_FAILS(prog("xml_fanout_unlocked"), xml_run(shifted), "unexpected line");
    EXPECT_FAILS(depth, xml_run(replace_once(good, "was \"hi\"", "was \"h\"")), "unexpected line");
}

TEST(HostileInputs, CheckingStaysBoundedByWhatIsChecked) {
    // A 68-byte PNG whose header claims 100000 x 100000 pixels is refused at once.
    auto chunk = [](const std::string &type, const std::string &data) {
        auto be32 = [](uint32_t v) {
            return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        };
        std::string body = type + data;
        return be32(uint32_t(data.size())) + body +
               be32(uint32_t(
                   crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
    };
    std::string ihdr = std::string("\x00\x01\x86\xa0\x00\x01\x86\xa0\x08\x02\x00\x00\x00", 13);
    std::string huge = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) +
                       chunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) +
                       chunk("IEND", "");
    EXPECT_LE(huge.size(), 70u);
    rgb_image_t img = decode_png(huge);
    EXPECT_FALSE(img.ok);
    EXPECT_NE(img.error.find("too large"), std::string::npos) << img.error;

#if CORPUS_SANITIZER_BUILD
    GTEST_SKIP() << "the address-space limit below does not suit a sanitizer build";
#else
    // A deeply nested document: ten outlines of about 9 MB each. The check must not hold more
    // than the output itself and a little more, so it runs under an address-space limit of
    // the process as it is plus half the output's size.
    const int depth = 3000;
    std::string document;
    for (int i = 0; i < depth; ++i)
        document += "<a>";
    for (int i = 0; i < depth; ++i)
        document += "</a>";
    std::string out;
    for (int i = 0; i < 10; ++i)
        out += launcher(i, true);
    std::string outline = xml_outline(document);
    for (int i = 0; i < 10; ++i)
        out += "start\nstrlen(buff) before parsing: 0\n" + outline + "end\n";
    run_output_t r = exited_ok(out);
    r.inputs["FirstTest.xml"] = document;
    std::string().swap(outline);
    std::string().swap(out);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        sscanf(read_file("/proc/self/statm").c_str(), "%ld", &pages);
        rlim_t now = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE));
        struct rlimit limit {
            now + r.out.size() / 2, now + r.out.size() / 2
        };
        setrlimit(RLIMIT_AS, &limit);
        try {
            _exit(check_run(prog("xml_fanout_unlocked"), r).ok ? 0 : 1);
        } catch (...) {
            _exit(3);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << " for " << r.out.size() << " bytes of output";
#endif
}

TEST(HostileInputs, OutputReadInPiecesIsCheckedAsTheWholeText) {
    // Lines of up to 300 bytes over several pieces: the same verdicts as from the text itself.
    std::string document;
    for (int i = 0; i < 300; ++i)
        document = "<a>" + document + "</a>";
    std::string out;
    for (int i = 0; i < 10; ++i)
        out += launcher(i, true);
    for (int i = 0; i < 10; ++i)
        out += "start\nstrlen(buff) before parsing: 0\n" + xml_outline(document) + "end\n";
    const std::string dir = make_run_dir();
    for (const auto &[text, passes] :
         {std::pair{out, true}, std::pair{replace_once(out, "\n    a\n", "\n   a\n"), false}}) {
        std::ofstream(dir + "/stdout", std::ios::binary) << text;
        run_output_t r = exited_ok("");
        r.inputs["FirstTest.xml"] = document;
        read_output(dir + "/stdout", r);
        EXPECT_TRUE(r.out_whole && r.out == text);
        EXPECT_EQ(check_run(prog("xml_fanout_unlocked"), r).ok, passes);
    }
    // Past the kept size only the digest is left, and a check that compares bytes says so.
    std::ofstream(dir + "/stdout", std::ios::binary) << std::string(kept_output_bytes, 'x') + "\ny";
    run_output_t r = exited_ok("");
    read_output(dir + "/stdout", r);
    EXPECT_FALSE(r.out_whole);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.out_lines->lines.size(), 2u);
    EXPECT_EQ(r.out_lines->lines[0].length, kept_output_bytes);
    EXPECT_FAILS(prog("zlib_roundtrip_locked"), r, "more than the 8388608 this check compares");
}

// --- PNG ------------------------------------------------------------------------------------

static std::vector<uint8_t> gradient() {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            rgb.insert(rgb.end(), {uint8_t(256 * x / 100), uint8_t(256 * y / 100), 0});
    return rgb;
}

static run_output_t png_run(bool traced, const std::vector<uint8_t> &rgb, unsigned size = 100) {
    std::string out;
    for (int i = 0; i < 10; ++i)
        out += launcher(i, false) + (traced ? "start\n" : "");
    run_output_t r = exited_ok(out);
    r.files["gradient.png"] = encode_png(size, size, rgb);
    return r;
}

TEST(PngChecks, TheFileMustDecodeToTheGradient) {
    const program_t &traced = prog("png_fanout_traced");
    const program_t &plain = prog("png_fanout");
    EXPECT_PASSES(traced, png_run(true, gradient()));
    EXPECT_PASSES(plain, png_run(false, gradient()));

    auto wrong = gradient();
    wrong[(50 * 100 + 25) * 3 + 2] = 1; // blue must stay 0
    EXPECT_FAILS(plain, png_run(false, wrong), "pixel (25,50)");
    std::vector<uint8_t> small(99 * 99 * 3, 0);
    EXPECT_FAILS(plain, png_run(false, small, 99), "99x99");
    run_output_t missing = png_run(false, gradient());
    missing.files.clear();
    EXPECT_FAILS(plain, missing, "gradient.png not written");
    run_output_t truncated = png_run(false, gradient());
    truncated.files["gradient.png"].resize(truncated.files["gradient.png"].size() / 2);
    EXPECT_FAILS(plain, truncated, "does not decode");
}

TEST(PngChecks, TraceLinesBelongOnlyToTheTracedProgram) {
    EXPECT_FAILS(prog("png_fanout"), png_run(true, gradient()), "exactly the ten creation lines");
    run_output_t r = png_run(true, gradient());
    r.out = replace_once(r.out, "start\n", "");
    EXPECT_FAILS(prog("png_fanout_traced"), r, "9 \"start\" markers");
    run_output_t noisy = png_run(false, gradient());
    noisy.err = "libpng error: boom\n";
    EXPECT_FAILS(prog("png_fanout"), noisy, "standard error");
}

// --- Image crop -----------------------------------------------------------------------------

static std::vector<uint8_t> pattern(unsigned w, unsigned h) {
    std::vector<uint8_t> rgb;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x)
            rgb.insert(rgb.end(), {uint8_t(x), uint8_t(y), uint8_t(x ^ y)});
    return rgb;
}

static std::vector<uint8_t> crop(const std::vector<uint8_t> &src, unsigned sw, unsigned x0,
                                 unsigned y0) {
    std::vector<uint8_t> rgb;
    for (unsigned y = y0; y < y0 + 100; ++y)
        for (unsigned x = x0; x < x0 + 100; ++x)
            rgb.insert(rgb.end(), src.begin() + (y * sw + x) * 3,
                       src.begin() + (y * sw + x) * 3 + 3);
    return rgb;
}

static run_output_t crop_run(const std::vector<uint8_t> &logo, unsigned logo_size = 100) {
    std::string out;
    for (int i = 0; i < 10; ++i)
        out += launcher(i, false);
    for (int i = 0; i < 10; ++i)
        out += "lock\nunlock\n";
    run_output_t r = exited_ok(out);
    r.inputs["samp.png"] = encode_png(240, 240, pattern(240, 240));
    r.files["logo.png"] = encode_png(logo_size, logo_size, logo);
    return r;
}

TEST(ImageChecks, LogoMustBeTheCropOfTheInput) {
    const program_t &p = prog("image_crop_locked");
    auto src = pattern(240, 240);
    EXPECT_PASSES(p, crop_run(crop(src, 240, 100, 100)));
    EXPECT_FAILS(p, crop_run(crop(src, 240, 101, 100)), "differs from input pixel");
    EXPECT_FAILS(p, crop_run(pattern(80, 80), 80), "80x80");
    run_output_t missing = crop_run(crop(src, 240, 100, 100));
    missing.files.clear();
    EXPECT_FAILS(p, missing, "logo.png not written");
    run_output_t caught = crop_run(crop(src, 240, 100, 100));
    caught.out = replace_once(caught.out, "unlock\n", "Caught exception: no such file\n");
    EXPECT_FAILS(p, caught, "Caught exception");
    run_output_t complained = crop_run(crop(src, 240, 100, 100));
    complained.err = "Magick: warning\n";
    EXPECT_FAILS(p, complained, "standard error not empty");
    // Right counts, but a worker's closing marker before any opening one.
    run_output_t early = crop_run(crop(src, 240, 100, 100));
    early.out = replace_once(early.out, "lock\nunlock\n", "unlock\nlock\n");
    EXPECT_FAILS(p, early, "comes before");
    // Another worker may take the lock before the first prints its closing marker.
    run_output_t overlapping = crop_run(crop(src, 240, 100, 100));
    overlapping.out = replace_once(overlapping.out, "lock\nunlock\nlock\nunlock\n",
                                   "lock\nlock\nunlock\nunlock\n");
    EXPECT_PASSES(p, overlapping);
}

// --- Download -------------------------------------------------------------------------------

// A window picture: grey frame and trough, the bar's blue fill over the first `filled` pixels.
static std::string window_shot(unsigned filled) {
    const unsigned w = 168, h = 38;
    std::vector<uint8_t> rgb;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            bool bar = y > 10 && y < 28 && x >= 12 && x < 12 + filled;
            const uint8_t fill[] = {0x4b, 0x69, 0x83}, grey[] = {0xdc, 0xda, 0xd5};
            rgb.insert(rgb.end(), bar ? fill : grey, (bar ? fill : grey) + 3);
        }
    return encode_png(w, h, rgb);
}

static run_output_t download_run(const std::string &file) {
    run_output_t r;
    r.signal = 15;
    r.stopped = true;
    r.inputs["download.txt"] = "served bytes\n";
    r.files["test.curl"] = file;
    r.files["shot.png"] = window_shot(143);
    return r;
}

TEST(DownloadChecks, FileMustBeWholeAndTheProgramStillRunning) {
    const program_t &p = prog("download_progress");
    EXPECT_PASSES(p, download_run("served bytes\n"));
    EXPECT_FAILS(p, download_run("served"), "differ");
    run_output_t ended = download_run("served bytes\n");
    ended.stopped = false;
    ended.exited = true;
    ended.status = 0;
    EXPECT_FAILS(p, ended, "ended by itself");
    run_output_t no_shot = download_run("served bytes\n");
    no_shot.files.erase("shot.png");
    EXPECT_FAILS(p, no_shot, "screenshot");
    run_output_t half_bar = download_run("served bytes\n");
    half_bar.files["shot.png"] = window_shot(70);
    EXPECT_FAILS(p, half_bar, "41% filled");
    run_output_t timed_out = download_run("served");
    timed_out.stopped = false;
    timed_out.timed_out = true;
    EXPECT_FAILS(p, timed_out, "time limit");
    run_output_t complained = download_run("served bytes\n");
    complained.err = "(download_progress): Gtk-WARNING **: cannot open display\n";
    EXPECT_FAILS(p, complained, "standard error not empty");
}

// --- zlib round trip ------------------------------------------------------------------------

TEST(ZlibChecks, ReportMustMatchByteForByte) {
    std::string good = zlib_report("lock", "unlock");
    // The fixed parts of the report, independent of the deflate bytes.
    const std::string head = "Uncompressed size is: 36\n"
                             "Uncompressed string is: Hello Hello Hello Hello Hello Hello!\n"
                             "\n----------\n\n"
                             "lock\nunlock\nCompressed size is: ";
    const std::string tail = "\n----------\n\nUncompressed size is: 36\n"
                             "Uncompressed string is: Hello Hello Hello Hello Hello Hello!\n";
    EXPECT_EQ(good.substr(0, head.size()), head);
    EXPECT_EQ(good.substr(good.size() - tail.size()), tail);
    const program_t &locked = prog("zlib_roundtrip_locked");
    EXPECT_PASSES(locked, exited_ok(good));
    EXPECT_PASSES(prog("zlib_roundtrip_unlocked"), exited_ok(zlib_report("start", "end")));
    EXPECT_FAILS(locked, exited_ok(zlib_report("start", "end")), "0 \"lock\" markers");
    // A truncated round trip: the inflated text comes back short.
    std::string truncated = good.substr(0, good.rfind("Hello!")) + "\n";
    truncated =
        truncated.substr(0, truncated.rfind("Uncompressed size is: 36")) +
        "Uncompressed size is: 30\nUncompressed string is: Hello Hello Hello Hello Hello \n";
    EXPECT_FAILS(locked, exited_ok(truncated), "Uncompressed size is: 30");
    run_output_t aborted = exited_ok(good.substr(0, good.size() / 2));
    aborted.exited = false;
    aborted.signal = 6;
    aborted.err = "example_zlib2: Assertion `strcmp(a,c)==0' failed.\n";
    EXPECT_FAILS(locked, aborted, "signal 6");
}

// --- gzip stream ----------------------------------------------------------------------------

static std::string gzip_member(const std::string &text) {
    z_stream s{};
    deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(1024, '\0');
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    s.avail_in = uInt(text.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = uInt(out.size());
    deflate(&s, Z_FINISH);
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    return out;
}

static std::string gzip_output(const std::string &open, const std::string &close, int cycles,
                               const std::string &text = gzip_verse) {
    std::string out;
    for (int i = 0; i < cycles; ++i)
        out += open + "\n" + close + "\n" + gzip_member(text);
    return out;
}

TEST(GzipChecks, TenMembersThatDecompressToTheVerse) {
    const program_t &unlocked = prog("gzip_stream_unlocked");
    const program_t &locked = prog("gzip_stream_locked");
    EXPECT_EQ(gzip_verse.size(), 175u);
    EXPECT_PASSES(unlocked, exited_ok(gzip_output("start", "end", 10)));
    EXPECT_PASSES(locked, exited_ok(gzip_output("lock", "unlock", 10)));
    check_result_t c = check_run(locked, exited_ok(gzip_output("lock", "unlock", 10)));
    EXPECT_EQ(c.outputs, "10/10 members ok");

    std::string corrupt = gzip_output("start", "end", 10);
    corrupt[corrupt.size() - 30] ^= 0x55; // inside the last member's deflate data
    EXPECT_FAILS(unlocked, exited_ok(corrupt), "member 10");
    std::string bad_crc = gzip_output("start", "end", 10);
    bad_crc[bad_crc.size() - 6] ^= 1; // the last member's CRC
    EXPECT_FAILS(unlocked, exited_ok(bad_crc), "member 10 does not decompress");
    EXPECT_FAILS(unlocked, exited_ok(gzip_output("start", "end", 9)), "ten times");
    EXPECT_FAILS(unlocked, exited_ok(gzip_output("start", "end", 10, "days?\n")), "not the verse");
    std::string no_end = gzip_output("start", "end", 10);
    no_end = replace_once(no_end, "end\n", "");
    EXPECT_FAILS(unlocked, exited_ok(no_end), "9 \"end\" markers");
    // Markers only, as the locked variant would print without compressing.
    std::string markers_only;
    for (int i = 0; i < 10; ++i)
        markers_only += "lock\nunlock\n";
    EXPECT_FAILS(locked, exited_ok(markers_only), "ten times");
    std::string cut = gzip_output("start", "end", 10);
    EXPECT_FAILS(unlocked, exited_ok(cut.substr(0, cut.size() - 4)), "member 10");
}

// --- OpenMP greeting ------------------------------------------------------------------------

static std::string greetings(int team, bool count_first = false) {
    std::string out;
    if (count_first)
        out += "Number of threads = " + std::to_string(team) + "\n";
    for (int t = team - 1; t >= 0; --t) {
        out += "Hello World from thread = " + std::to_string(t) + "\n";
        if (t == 0 && !count_first)
            out += "Number of threads = " + std::to_string(team) + "\n";
    }
    return out;
}

TEST(OmpChecks, OneGreetingPerThreadAndTheCountAfterThreadZero) {
    const program_t &critical = prog("omp_hello_critical");
    const program_t &plain = prog("omp_hello");
    EXPECT_PASSES(critical, exited_ok("0\n" + greetings(4)));
    EXPECT_PASSES(plain, exited_ok(greetings(4)));
    EXPECT_FAILS(critical, exited_ok(greetings(4)), "first line");
    EXPECT_FAILS(plain, exited_ok("0\n" + greetings(4)), "unexpected line");
    EXPECT_FAILS(plain, exited_ok(replace_once(greetings(4), "thread = 2\n", "thread = 1\n")),
                 "exactly one from each thread");
    EXPECT_FAILS(plain, exited_ok(replace_once(greetings(4), "Hello World from thread = 3\n", "")),
                 "exactly one from each thread");
    EXPECT_FAILS(plain, exited_ok(greetings(4, true)), "before thread 0");
    EXPECT_FAILS(plain, exited_ok(greetings(2)), "team of 2 threads, expected 4");
}

TEST(OmpChecks, TheRacyTwinMayRepeatNumbersButNotLeaveTheTeam) {
    const program_t &racy = prog("omp_hello_racy");
    EXPECT_PASSES(racy, exited_ok(greetings(4)));
    EXPECT_PASSES(racy, exited_ok(replace_once(greetings(4), "thread = 2\n", "thread = 1\n")));
    EXPECT_PASSES(racy, exited_ok(greetings(4, true)));
    EXPECT_FAILS(racy, exited_ok(replace_once(greetings(4), "thread = 3\n", "thread = 4\n")),
                 "greeting from thread 4");
    EXPECT_FAILS(racy, exited_ok(replace_once(greetings(4), "Hello World from thread = 3\n", "")),
                 "3 greetings, expected 4");
    EXPECT_FAILS(racy, exited_ok(greetings(4) + "Number of threads = 4\n"), "2 thread-count lines");
    EXPECT_FAILS(racy, exited_ok(replace_once(greetings(4), "thread = 3\n", "thread = 3x\n")),
                 "malformed greeting");
}

// --- The racy programs ----------------------------------------------------------------------

static std::vector<std::string> racy_programs() {
    std::vector<std::string> names;
    // A served download needs a display and a server: the runner's own test runs those.
    // The race-free twins that put a construct to the detectors go with them.
    for (const auto &p : manifest().programs)
        if ((p.race || p.axis != axis_t::built_in) && p.serve.empty())
            names.push_back(p.name);
    return names;
}

// What one run of `p`, in a fresh directory seeded with its inputs, left behind.
static run_output_t run_entry(const program_t &p) {
    run_options_t o;
    run_output_t r;
    for (const auto &name : p.inputs)
        r.inputs[name] = o.files[name] = read_file(CORPUS_SOURCE_DIR "/samples/" + name);
    o.env = p.env;
    run_result_t run = run_program(p.name, o);
    r.out = run.out;
    r.err = run.err;
    r.exited = run.exited;
    r.status = run.status;
    r.signal = run.signal;
    r.timed_out = run.timed_out;
    for (const auto &name : p.outputs)
        if (file_exists(run.dir + "/" + name))
            r.files[name] = read_file(run.dir + "/" + name);
    return r;
}

class RacyProgram : public testing::TestWithParam<std::string> {};

// Whatever its race (or its construct) did this time, each twin runs to its end within its
// contract.
TEST_P(RacyProgram, KeepsItsContract) {
    const program_t &p = prog(GetParam());
    if (!file_exists(program_path(p.name)))
        GTEST_SKIP() << p.name << " is not part of this build";
    for (int k = 0; k < 3; ++k)
        EXPECT_PASSES(p, run_entry(p));
}

INSTANTIATE_TEST_SUITE_P(Labelled, RacyProgram, testing::ValuesIn(racy_programs()),
                         [](const testing::TestParamInfo<std::string> &i) { return i.param; });
