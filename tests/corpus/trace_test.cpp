// Traces are read into intervals, the figures come out of hand-made traces, and the pictures
// are well-formed XML whatever the names in them.
#include "timeline.h"
#include "xml_tree.h"

#include <gtest/gtest.h>

#include <map>

TEST(TraceFigures, OverlappingThreads) {
    // The later thread's line reached the file first.
    trace_t t = parse_trace("3000 12 enter\n1000 11 enter\n5000 11 leave\n7000 12 leave\n");
    EXPECT_EQ(t.errors, 0);
    EXPECT_EQ(t.events, 4);
    ASSERT_EQ(t.threads.size(), 2u);
    EXPECT_EQ(t.threads[0].tid, 11);
    EXPECT_EQ(t.threads[0].number, 1);
    EXPECT_EQ(t.threads[1].number, 2);
    trace_figures_t f = trace_figures(t);
    EXPECT_EQ(f.inside, 2);
    EXPECT_DOUBLE_EQ(f.overlap, 2000.0 / 6000.0);
    EXPECT_FALSE(f.lock_max_held);
    EXPECT_EQ(figures_text(f), "inside 2, overlap 0.33, lock_max_held none");
}

TEST(TraceFigures, SerialThreadsHandingTheLockOver) {
    trace_t t = parse_trace("0 11 enter\n0 11 acquire\n1 11 mark:lock\n9 11 mark:unlock\n"
                            "10 11 release\n10 11 leave\n10 12 enter\n10 12 acquire\n"
                            "20 12 release\n20 12 leave\n");
    EXPECT_EQ(t.errors, 0);
    ASSERT_EQ(t.threads.size(), 2u);
    ASSERT_EQ(t.threads[0].marks.size(), 2u);
    EXPECT_EQ(t.threads[0].marks[0].text, "lock");
    EXPECT_EQ(t.threads[0].marks[1].at, 9);
    trace_figures_t f = trace_figures(t);
    EXPECT_EQ(f.inside, 1);
    EXPECT_EQ(f.overlap, 0.0);
    EXPECT_EQ(f.lock_max_held, 1);
}

TEST(TraceFigures, OverlappingLockHolds) {
    trace_t t = parse_trace("0 11 acquire\n5 12 acquire\n10 11 release\n20 12 release\n"
                            "30 13 acquire\n40 13 release\n");
    EXPECT_EQ(trace_figures(t).lock_max_held, 2);
}

TEST(TraceFigures, UnclosedWorkLastsToTheLastEventAndACutLineIsDropped) {
    trace_t t = parse_trace("0 11 enter\n50 12 enter\n100 12 leave\n150 11 lea");
    EXPECT_TRUE(t.cut);
    EXPECT_EQ(t.errors, 0);
    EXPECT_EQ(t.events, 3);
    EXPECT_EQ(t.last, 100);
    ASSERT_EQ(t.threads[0].work.size(), 1u);
    EXPECT_EQ(t.threads[0].work[0].end, 100);
    trace_figures_t f = trace_figures(t);
    EXPECT_EQ(f.inside, 2);
    EXPECT_DOUBLE_EQ(f.overlap, 0.5);
}

TEST(TraceParse, BadLinesAreCounted) {
    trace_t t = parse_trace("garbage\n12 x enter\n-5 11 enter\n12 11 jump\n12  11 enter\n"
                            "99999999999999999999 11 enter\n12 0 enter\n\n12 11 enter\r\n"
                            "100 11 leave\n200 11 enter\n300 11 leave\n");
    EXPECT_EQ(t.errors, 10); // nine bad lines and a leave without an enter
    EXPECT_EQ(t.first_error.rfind("line 1: ", 0), 0u) << t.first_error;
    EXPECT_FALSE(t.cut);
    EXPECT_EQ(t.events, 3);
    ASSERT_EQ(t.threads.size(), 1u);
    ASSERT_EQ(t.threads[0].work.size(), 1u);
    EXPECT_EQ(t.threads[0].work[0].begin, 200);
    EXPECT_EQ(trace_figures(t).inside, 1);
}

TEST(TraceSvg, WellFormedWithHostileNames) {
    const std::string program = "<script>alert('x')</script> & \"q\" \x01";
    trace_t t = parse_trace("1000 987654 enter\n1000 987654 acquire\n1500 987654 mark:<b>&\n"
                            "4000 987654 release\n4000 987654 leave\n2000 987655 enter\n"
                            "6000 987655 leave\n");
    std::string svg = trace_svg(t, program);
    xml_tree_t doc = parse_xml_tree(svg);
    ASSERT_TRUE(doc.ok) << svg;
    EXPECT_EQ(doc.elements[0].name, "svg");
    EXPECT_EQ(svg.find("<script"), std::string::npos);
    EXPECT_NE(find_text(doc, "text", "<script>alert('x')</script> & \"q\""), nullptr);
    EXPECT_NE(find_text(doc, "text", "inside 2"), nullptr);
    EXPECT_NE(find_text(doc, "text", "T1"), nullptr);
    EXPECT_NE(find_text(doc, "text", "T2"), nullptr);
    EXPECT_EQ(svg.find("987654"), std::string::npos); // lanes are numbered, not by tid
    const xml_element_t *mark = find_text(doc, "title", "mark:<b>&");
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(doc.elements[mark->parent].name, "line");
    EXPECT_TRUE(parse_xml_tree(trace_svg(parse_trace(""), "empty")).ok);
}

TEST(TraceIndex, TwinsShareARowSerializedFirst) {
    std::vector<timeline_entry_t> entries = {
        {"gzip_stream_unlocked", "unserialized", "gzip_stream_locked", "u.svg", "inside 10"},
        {"xml_single", "single-threaded", "", "x y&.svg", "<fig>&"},
        {"gzip_stream_locked", "serialized", "gzip_stream_unlocked", "l.svg", "inside 1"},
        {"omp_hello", "unserialized", "omp_hello_critical", "o.svg", ""}};
    xml_tree_t doc = parse_xml_tree(timeline_index_html(entries));
    ASSERT_TRUE(doc.ok);
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < doc.elements.size(); ++i) {
        const xml_element_t &e = doc.elements[i];
        if (e.attrs.count("class") && e.attrs.at("class") == "row")
            rows.emplace_back();
        if (e.name == "img")
            rows.back().push_back(e.attrs.at("src"));
    }
    std::vector<std::vector<std::string>> expected = {
        {"l.svg", "u.svg"}, {"x%20y%26.svg"}, {"o.svg"}};
    EXPECT_EQ(rows, expected);
    EXPECT_NE(find_text(doc, "p", "<fig>&"), nullptr);
}
