// The JUnit and SARIF writers: well-formed for hostile text, counted right, located right.
#include "ci_formats.h"
#include "parse.h"
#include "record.h"
#include "xml_text.h"
#include "xml_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using nlohmann::json;

static const std::string source_root = "/src/corpus";

static program_t program(const std::string &name) {
    program_t p;
    p.name = name;
    return p;
}

TEST(JUnit, CountsCasesAndEscapesHostileText) {
    const program_t good = program("xml_single"), bad = program("we<ird>&\"name\x01"),
                    absent = program("gzip_stream_locked");
    row_t ok_row, failed, missing;
    ok_row.p = &good;
    ok_row.runs = ok_row.passed = 1;
    ok_row.ok = true;
    ok_row.seconds = 0.5;
    ok_row.markers = "10 start 10 end";
    failed.p = &bad;
    failed.runs = 2;
    failed.passed = 1;
    failed.verdict = "FAILED";
    failed.seconds = 1.25;
    failed.problems = {"run 2: stderr <b>&\"x\"\x02 \xff end"};
    report_t own;
    own.kind = "data race";
    own.own = true;
    own.where = "parse_xml(void*) /src/corpus/xml/parse.cpp";
    failed.summary.reports = {own};
    missing.p = &absent;
    missing.missing = true;
    missing.verdict = "not built";

    xml_tree_t doc = parse_xml_tree(junit_xml("corpus tsan", {ok_row, failed, missing}, "tsan"));
    ASSERT_TRUE(doc.ok);
    auto named = [&](const char *name) { return elements_named(doc, name); };
    EXPECT_EQ(named("testsuites").size(), 1u);
    ASSERT_EQ(named("testsuite").size(), 1u);
    ASSERT_EQ(named("testcase").size(), 3u);
    ASSERT_EQ(named("failure").size(), 1u);
    EXPECT_EQ(named("error").size(), 1u);
    EXPECT_EQ(named("system-out").size(), 2u) << "nothing ran for the missing program";

    auto &suite = named("testsuite")[0]->attrs;
    EXPECT_EQ(suite.at("tests"), "3");
    EXPECT_EQ(suite.at("failures"), "1");
    EXPECT_EQ(suite.at("errors"), "1");
    EXPECT_EQ(suite.at("time"), "1.750");
    auto &c = named("testcase")[1]->attrs;
    EXPECT_EQ(c.at("name"), "we<ird>&\"name");
    EXPECT_EQ(c.at("classname"), "corpus.tsan");
    EXPECT_EQ(named("failure")[0]->attrs.at("message"), "FAILED");
    const std::string &text = named("failure")[0]->text;
    EXPECT_NE(text.find("runs passed: 1/2"), std::string::npos) << text;
    EXPECT_NE(text.find("run 2: stderr <b>&\"x\" \xEF\xBF\xBD end"), std::string::npos) << text;
    EXPECT_NE(text.find("data race at " + own.where), std::string::npos) << text;
    EXPECT_NE(named("system-out")[0]->text.find("10 start 10 end"), std::string::npos);

    EXPECT_NE(junit_xml("s", {ok_row}, "").find("classname=\"corpus.native\""), std::string::npos);
}

// An own-code race seen by ThreadSanitizer, through its interceptor, and a race inside GLib
// seen by helgrind.
static const std::string interceptor_log = R"(WARNING: ThreadSanitizer: data race (pid=1)
  Write of size 8 at 0x7b04 by thread T2:
    #0 memset ../../../../src/libsanitizer/sanitizer_common/sanitizer_common_interceptors.inc:799 (libtsan.so.2+0x3c1e2)
    #1 parse_stream(_IO_FILE*) /src/corpus/xml/parse.cpp:30:7 (xml_fanout_unlocked+0x3210) (BuildId: 0a1b)

  Previous read of size 8 at 0x7b04 by thread T1:
    #0 XML_Parse <null> (libexpat.so.1+0x1111)
    #1 parse_stream(_IO_FILE*) /src/corpus/xml/parse.cpp:41 (xml_fanout_unlocked+0x3290)
)";
static const std::string helgrind_xml =
    "<valgrindoutput><error><kind>Race</kind><stack><frame><obj>/usr/lib/libglib-2.0.so.0</obj>"
    "<fn>g_main_context_iteration</fn><dir>/build/glib/glib</dir><file>gmain.c</file>"
    "<line>4000</line></frame><frame><obj>/b/download_progress</obj><fn>main</fn>"
    "<dir>/src/corpus/download</dir><file>download_progress.cpp</file><line>90</line></frame>"
    "</stack></error></valgrindoutput>";

struct sarif_rows_t {
    program_t xml = program("xml_fanout_unlocked"), gtk = program("download_progress"),
              odd = program("drd_probe");
    std::vector<row_t> rows{3};
    sarif_rows_t() {
        rows[0].p = &xml;
        rows[0].summary = summarize_reports(parse_tsan_log(interceptor_log, {source_root, "", ""}));
        rows[1].p = &gtk;
        rows[1].summary = summarize_reports(
            parse_valgrind_xml(helgrind_xml, {source_root, "/b/download_progress", ""}));
        report_t r;
        r.kind = "ConflictingAccess";
        r.access_stacks = {{{"bad\xff name", "", "/usr/lib/libdrd.so"}}};
        classify_report(r, {source_root, "", ""});
        rows[2].p = &odd;
        rows[2].summary = summarize_reports({r});
    }
};

TEST(Sarif, ResultsCarryRulesLocationsFlowsAndFingerprints) {
    sarif_rows_t in;
    const std::vector<std::string> supp{"/src/corpus/corpus/suppressions/tsan.supp"};
    json log = sarif_log(in.rows, "tsan", "12.2.0", source_root + "/", supp);
    EXPECT_NO_THROW(log.dump()) << "invalid UTF-8 from a frame must not reach the JSON";
    EXPECT_EQ(log["version"], "2.1.0");
    EXPECT_EQ(log["$schema"], "https://json.schemastore.org/sarif-2.1.0.json");
    ASSERT_EQ(log["runs"].size(), 1u);
    const json &run = log["runs"][0];
    EXPECT_EQ(run["tool"]["driver"]["name"], "tsan");
    EXPECT_EQ(run["tool"]["driver"]["version"], "12.2.0");
    EXPECT_EQ(run["originalUriBaseIds"]["SRCROOT"]["uri"], "file:///src/corpus/");
    EXPECT_EQ(run["invocations"][0]["executionSuccessful"], true);
    EXPECT_EQ(run["invocations"][0]["properties"]["suppressionFiles"], json(supp));

    const json &rules = run["tool"]["driver"]["rules"];
    ASSERT_EQ(rules.size(), 3u);
    const json &results = run["results"];
    ASSERT_EQ(results.size(), 3u);
    std::vector<std::string> ids;
    for (size_t i = 0; i < results.size(); ++i) {
        const json &r = results[i];
        ids.push_back(r["ruleId"]);
        EXPECT_EQ(rules.at(r["ruleIndex"].get<size_t>())["id"], r["ruleId"]);
        EXPECT_NE(r["message"]["text"].get<std::string>().find(in.rows[i].p->name),
                  std::string::npos);
        EXPECT_EQ(r["properties"]["program"], in.rows[i].p->name);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"data-race", "race", "conflicting-access"}));

    // Placed at our frame past the interceptor, relative to the source root.
    const json &own = results[0];
    EXPECT_EQ(own["level"], "error");
    EXPECT_EQ(own["properties"]["own"], true);
    const json &at = own["locations"][0]["physicalLocation"];
    EXPECT_EQ(at["artifactLocation"]["uri"], "xml/parse.cpp");
    EXPECT_EQ(at["artifactLocation"]["uriBaseId"], "SRCROOT");
    EXPECT_EQ(at["region"]["startLine"], 30);
    const json &flows = own["codeFlows"][0]["threadFlows"];
    ASSERT_EQ(flows.size(), 2u);
    ASSERT_EQ(flows[1]["locations"].size(), 2u);
    EXPECT_EQ(flows[1]["locations"][0]["location"]["physicalLocation"]["region"]["startLine"], 41);
    EXPECT_EQ(flows[1]["locations"][1]["location"]["message"]["text"], "XML_Parse");
    EXPECT_EQ(flows[0]["locations"][1]["location"]["message"]["text"], "memset");

    // A library file outside the tree is an absolute URI.
    const json &lib = results[1];
    EXPECT_EQ(lib["level"], "warning");
    const json &lib_at = lib["locations"][0]["physicalLocation"];
    EXPECT_EQ(lib_at["artifactLocation"]["uri"], "file:///build/glib/glib/gmain.c");
    EXPECT_FALSE(lib_at["artifactLocation"].contains("uriBaseId"));
    EXPECT_EQ(lib_at["region"]["startLine"], 4000);

    json again = sarif_log(sarif_rows_t().rows, "tsan", "12.2.0", source_root, supp);
    std::set<std::string> prints;
    for (size_t i = 0; i < results.size(); ++i) {
        const json &print = results[i]["partialFingerprints"]["stackSignature/v1"];
        EXPECT_EQ(print,
                  again["runs"][0]["results"][i]["partialFingerprints"]["stackSignature/v1"]);
        prints.insert(print.get<std::string>());
    }
    EXPECT_EQ(prints.size(), 3u) << "different keys, different fingerprints";
}

// What a detector that writes SARIF hands over is read as the corpus's own SARIF is written:
// reading it back gives the same reports, frames, access kinds and memory.
TEST(Sarif, ReadBackGivesTheSameReports) {
    sarif_rows_t in;
    memory_t &m = in.rows[0].summary.reports[0].memory;
    m.kind = memory_kind_t::heap;
    m.block_size = 64;
    m.block_offset = 8;
    m.allocated = {{"XML_ParserCreate_MM", "", "/usr/lib/libexpat.so.1", 0}};
    const std::string text = json_text(sarif_log(in.rows, "tsan", "", source_root, {}), 1);
    std::string fault;
    const std::vector<report_t> back = parse_sarif(text, {source_root, "", ""}, &fault);
    EXPECT_EQ(fault, "");
    ASSERT_EQ(back.size(), 3u);
    for (size_t i = 0; i < 2; ++i) { // the third's name is not UTF-8: SARIF holds U+FFFD
        const report_t &want = in.rows[i].summary.reports[0], &got = back[i];
        EXPECT_EQ(got.kind, want.kind);
        EXPECT_EQ(got.key, want.key);
        EXPECT_EQ(got.own, want.own);
        EXPECT_EQ(got.access_kinds, want.access_kinds);
        EXPECT_EQ(describe_memory(got.memory), describe_memory(want.memory));
        ASSERT_EQ(got.access_stacks.size(), want.access_stacks.size());
        for (size_t s = 0; s < want.access_stacks.size(); ++s) {
            ASSERT_EQ(got.access_stacks[s].size(), want.access_stacks[s].size());
            for (size_t f = 0; f < want.access_stacks[s].size(); ++f) {
                const frame_t &a = got.access_stacks[s][f], &b = want.access_stacks[s][f];
                EXPECT_EQ(a.function + "|" + a.file + "|" + a.object + "|" + std::to_string(a.line),
                          b.function + "|" + b.file + "|" + b.object + "|" +
                              std::to_string(b.line));
            }
        }
    }
    EXPECT_TRUE(parse_sarif("{\"runs\": 3}", {}, &fault).empty());
    EXPECT_NE(fault, "") << "a file that is no SARIF log is said to be one";
}
