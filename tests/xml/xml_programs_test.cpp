// The three XML programs run for real in fresh directories.
#include "expect_lines.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const std::string small_doc = "<r id=\"7\"><c>hi</c><d k='v'>x</d></r>";
const std::string small_outline = "r id= '7'\n"
                                  " c\n"
                                  "  Content of element c was \"hi\"\n"
                                  " d k= 'v'\n"
                                  "  Content of element d was \"x\"\n"
                                  " Content of element r was \"x\"\n";
const std::string length_line = std::string(contract::xml_length_line) + "\n";
const std::string result_0 = std::string(contract::result_prefix) + "0";

run_result_t run_with_doc(const std::string &program, const std::string &doc,
                          run_options_t o = {}) {
    o.files[contract::xml_document] = doc;
    return run_program(program, o);
}

// The lines of `out` with those printed outside `lock` removed: the launcher's lines, the
// start results and the closing markers.
std::vector<std::string> locked_lines(const std::string &out) {
    std::vector<std::string> kept;
    for (const auto &l : split_lines(out)) {
        if (l.rfind(creation_prefix, 0) == 0 || l.rfind(contract::result_prefix, 0) == 0 ||
            l == contract::serialized_close)
            continue;
        kept.push_back(l);
    }
    return kept;
}

std::vector<std::string> sorted_lines(const std::string &text) {
    std::vector<std::string> lines = split_lines(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

TEST(XmlSingle, PrintsOutlineThenResult) {
    run_result_t r = run_with_doc("xml_single", small_doc);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, length_line + small_outline + "Result is 0\n");
    EXPECT_EQ(r.err, "");
}

TEST(XmlSingle, WhitespaceBetweenTagsIsTheLastContent) {
    run_result_t r = run_with_doc("xml_single", "<a>\n  <b>t</b>\n</a>\n");
    EXPECT_EQ(r.out, length_line + "a\n b\n  Content of element b was \"t\"\n"
                                   " Content of element a was \"\n\"\nResult is 0\n");
}

TEST(XmlSingle, NoCharacterDataYetPrintsEmptyContent) {
    run_result_t r = run_with_doc("xml_single", "<a><b/></a>");
    EXPECT_EQ(r.out, length_line + "a\n b\n  Content of element b was \"\"\n"
                                   " Content of element a was \"\"\nResult is 0\n");
}

TEST(XmlSingle, MissingFile) {
    run_result_t r = run_program("xml_single");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Failed to open file\nResult is 1\n");
}

TEST(XmlSingle, BrokenDocumentsReportExpatsErrorAndResultZero) {
    struct case_t {
        std::string doc, expected;
    } cases[] = {
        {"<a><b>t</a>", "a\n b\nError: mismatched tag\n"},
        {"<a><b>t</b>", "a\n b\n  Content of element b was \"t\"\nError: no element found\n"},
        {"", "Error: no element found\n"},
        // Parsed only up to the zero byte; what follows it is never seen.
        {std::string("<a>x</a>\0<<garbage", 18), "a\n Content of element a was \"x\"\n"},
        {std::string("<a>x\0</a>", 9), "a\nError: no element found\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.doc);
        run_result_t r = run_with_doc("xml_single", c.doc);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, length_line + c.expected + "Result is 0\n");
    }
}

TEST(XmlSingle, DocumentMustLeaveRoomForItsTerminator) {
    // 99999 bytes fit; 100000 would leave no zero byte behind the text and are refused.
    std::string fits = "<a>" + std::string(99999 - 8, 'x') + "</a>\n";
    ASSERT_EQ(fits.size(), 99999u);
    run_result_t r = run_with_doc("xml_single", fits);
    EXPECT_EQ(count_prefixed(r.out, "Error:"), 0);
    EXPECT_EQ(count_prefixed(r.out, "a"), 1);

    for (size_t size : {100000u, 250000u}) {
        std::string big = "<a>" + std::string(size - 8, 'x') + "</a>\n";
        ASSERT_EQ(big.size(), size);
        r = run_with_doc("xml_single", big);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, length_line + "Error: document is larger than 99999 bytes\nResult is 0\n");
    }
}

TEST(XmlSingle, LibraryFailures) {
    run_options_t o;
    o.preload = {fault_library_path()};
    o.env = {{"FAULT_XML_ParserCreate", "1"}};
    run_result_t r = run_with_doc("xml_single", small_doc, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Error: cannot create an XML parser\nResult is 0\n");

    // A copy of character data that cannot be allocated keeps the previous content.
    std::string long_text(4000, 'y');
    o.env = {{"FAULT_MALLOC_BYTES", "4001"}, {"FAULT_MALLOC", "all"}};
    r = run_with_doc("xml_single", "<a><b>short</b><c>" + long_text + "</c></a>", o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, length_line + "a\n b\n  Content of element b was \"short\"\n c\n"
                                   "  Content of element c was \"short\"\n"
                                   " Content of element a was \"short\"\nResult is 0\n");
}

TEST(XmlFanoutLocked, TenUnbrokenBlocksUnderTheLock) {
    run_result_t r = run_with_doc("xml_fanout_locked", small_doc);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines_with_prefix(r.out, creation_prefix), creation_lines(contract::workers));
    EXPECT_EQ(count_lines(r.out, result_0), contract::workers);
    EXPECT_EQ(count_lines(r.out, "unlock"), 10);

    std::string block = "lock\n" + length_line + small_outline, all_blocks;
    for (int i = 0; i < 10; ++i)
        all_blocks += block;
    std::string kept;
    for (const auto &l : locked_lines(r.out))
        kept += l + "\n";
    EXPECT_EQ(kept, all_blocks);
}

TEST(XmlFanoutLocked, ErrorLeavesIndentationForTheNextParse) {
    // Each parse leaves one element open, so the k-th parse under the lock starts k deeper.
    run_result_t r = run_with_doc("xml_fanout_locked", "<open><c>t</c>");
    EXPECT_EQ(r.status, 0);
    std::string kept;
    for (const auto &l : locked_lines(r.out))
        kept += l + "\n";
    std::string expected;
    for (int k = 0; k < 10; ++k) {
        std::string pad(k, ' ');
        expected += "lock\n" + length_line + pad + "open\n" + pad + " c\n" + pad +
                    "  Content of element c was \"t\"\nError: no element found\n";
    }
    EXPECT_EQ(kept, expected);
}

TEST(XmlFanout, MissingFileInBothVariants) {
    for (const char *program : {"xml_fanout_locked", "xml_fanout_unlocked"}) {
        SCOPED_TRACE(program);
        run_result_t r = run_program(program);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count_lines(r.out, "Failed to open file"), 10);
        EXPECT_EQ(count_lines(r.out, "Result is 0"), 10);
        for (const char *marker : {"lock", "unlock", "start", "end"})
            EXPECT_EQ(count_lines(r.out, marker), 0);
    }
}

TEST(XmlFanoutUnlocked, PrintsTenOutlinesAndMarkers) {
    // Each line is printed whole, but the lines of concurrent parses interleave: compare the
    // lines printed, not their order.
    std::string doc = read_file(SAMPLE_XML);
    run_result_t single = run_with_doc("xml_single", doc);
    ASSERT_EQ(single.out.rfind("Result is 0\n"), single.out.size() - 12);
    std::string outline = single.out.substr(0, single.out.size() - 12);
    ASSERT_EQ(count_prefixed(outline, "Error"), 0);

    run_result_t r = run_with_doc("xml_fanout_unlocked", doc);
    EXPECT_EQ(r.status, 0);
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected +=
            creation_prefix + std::to_string(i) + "\n" + result_0 + "\nstart\n" + outline + "end\n";
    EXPECT_EQ(sorted_lines(r.out), sorted_lines(expected));
}

TEST(XmlFanout, LastContentCarriesOverOnlyInTheSharedPrinter) {
    // No text comes before the first end tag of a parse. Under the lock the printer state is
    // the process's, so later parses show the text an earlier one left; the unserialized
    // program keeps it per worker, so every parse starts without any.
    std::string doc = "<a><b/>x</a>";
    run_result_t locked = run_with_doc("xml_fanout_locked", doc);
    std::vector<std::string> b_lines;
    for (const auto &l : split_lines(locked.out))
        if (l.find("Content of element b") != std::string::npos)
            b_lines.push_back(l);
    std::vector<std::string> expected(10, "  Content of element b was \"x\"");
    expected[0] = "  Content of element b was \"\"";
    EXPECT_EQ(b_lines, expected);

    run_result_t unlocked = run_with_doc("xml_fanout_unlocked", doc);
    EXPECT_EQ(count_lines(unlocked.out, "  Content of element b was \"\""), 10);
    EXPECT_EQ(count_lines(unlocked.out, " Content of element a was \"x\""), 10);
}

TEST(XmlFanout, WorkerFailuresStillReleaseAndMarkInBothVariants) {
    std::string big = "<a>" + std::string(100000, 'x') + "</a>";
    for (const char *program : {"xml_fanout_locked", "xml_fanout_unlocked"}) {
        SCOPED_TRACE(program);
        std::string closing = std::string(program) == "xml_fanout_locked" ? "unlock" : "end";
        run_result_t r = run_with_doc(program, big);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count_lines(r.out, "Error: document is larger than 99999 bytes"), 10);
        EXPECT_EQ(count_prefixed(r.out, "a"), 0);
        EXPECT_EQ(count_lines(r.out, closing), 10);

        run_options_t o;
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_XML_ParserCreate", "all"}};
        r = run_with_doc(program, small_doc, o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(count_lines(r.out, "Error: cannot create an XML parser"), 10);
        EXPECT_EQ(count_prefixed(r.out, "strlen"), 0);
        EXPECT_EQ(count_lines(r.out, closing), 10);
    }

    // The hand-over twins, whatever orders the hand-over: no maker thread, or no parser made.
    for (const char *program : {"xml_fanout_handover", "xml_fanout_acquire"})
        for (const auto &[fault, line] :
             {std::pair<const char *, const char *>{
                  "FAULT_PTHREAD_CREATE_OFF_MAIN",
                  "Error: cannot start the thread that makes the parser: Resource temporarily "
                  "unavailable"},
              {"FAULT_XML_ParserCreate", "Error: cannot create an XML parser"}}) {
            SCOPED_TRACE(std::string(program) + " " + fault);
            run_options_t o;
            o.preload = {fault_library_path()};
            o.env = {{fault, "all"}};
            run_result_t r = run_with_doc(program, small_doc, o);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(count_lines(r.out, line), 10) << r.out;
            EXPECT_EQ(count_prefixed(r.out, "strlen"), 0);
            EXPECT_EQ(count_lines(r.out, "end"), 10);
        }

    // The unserialized workers' own parse buffers cannot be allocated.
    run_options_t o;
    o.preload = {fault_library_path()};
    o.env = {{"FAULT_MALLOC_BYTES", "100000"}, {"FAULT_MALLOC", "all"}};
    run_result_t r = run_with_doc("xml_fanout_unlocked", small_doc, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, "Error: out of memory for the parse buffer"), 10);
    EXPECT_EQ(count_lines(r.out, "end"), 10);
    EXPECT_EQ(count_prefixed(r.out, "r id"), 0);
}

TEST(XmlFanout, FailedStartInBothVariants) {
    for (const char *program : {"xml_fanout_locked", "xml_fanout_unlocked"}) {
        SCOPED_TRACE(program);
        run_options_t o;
        o.preload = {fault_library_path()};
        o.env = {{"FAULT_PTHREAD_CREATE", "5"}}; // the start at index 4
        run_result_t r = run_with_doc(program, small_doc, o);
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(count_prefixed(r.out, creation_prefix), 5);
        EXPECT_EQ(count_lines(r.out, "Result is 11"), 1);
        EXPECT_EQ(count_lines(r.out, "Error:unable to create thread,11"), 1);
        // The four workers already started finished their parse before the exit.
        EXPECT_EQ(
            count_lines(r.out, std::string(program) == "xml_fanout_locked" ? "unlock" : "end"), 4);
    }
}
