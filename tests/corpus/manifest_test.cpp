// The manifest names the same programs as the build, and the reader rejects a broken manifest.
#include "manifest.h"
#include "run_program.h"

#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>

static manifest_t shipped() {
    return load_manifest(CORPUS_MANIFEST);
}

TEST(Manifest, NamesTheProgramTargetsOfTheBuild) {
    manifest_t m = shipped();
    std::set<std::string> listed;
    for (const auto &p : m.programs)
        listed.insert(p.name);
    EXPECT_EQ(m.programs.size(), 41u);
    std::set<std::string> targets;
    for (const auto &t : split_lines(read_file(CORPUS_PROGRAM_TARGETS_FILE)))
        if (!t.empty())
            targets.insert(t);
    ASSERT_FALSE(targets.empty());
    for (const auto &t : targets)
        EXPECT_TRUE(listed.count(t)) << "program target " << t << " is not in the manifest";
    if (CORPUS_ALL_ENABLED) {
        EXPECT_EQ(targets, listed) << "a full build must build exactly the manifest's programs";
    }
}

TEST(Manifest, TwinsPairUpWithinOneSubsystem) {
    manifest_t m = shipped();
    for (const auto &p : m.programs) {
        EXPECT_FALSE(p.rationale.empty()) << p.name;
        if (p.twin.empty())
            continue;
        const program_t *t = find_program(m, p.twin);
        ASSERT_NE(t, nullptr) << p.name;
        EXPECT_EQ(t->subsystem, p.subsystem);
        if (p.race) {
            // A racy program's twin is race-free; the race-free pairs name each other.
            EXPECT_FALSE(t->race) << p.name;
            continue;
        }
        EXPECT_EQ(p.verdict, "no data race in the corpus's own code") << p.name;
        // A twin that puts a construct to the detectors may name its base, racy or not.
        if (p.axis == axis_t::built_in) {
            EXPECT_EQ(t->twin, p.name);
        }
    }
    EXPECT_EQ(find_program(m, "xml_fanout_locked")->open_marker, "lock");
    // Every input the runner copies or serves is shipped.
    for (const auto &p : m.programs) {
        for (const auto &name : p.inputs)
            EXPECT_TRUE(file_exists(CORPUS_SOURCE_DIR "/samples/" + name)) << p.name << " " << name;
        if (!p.serve.empty()) {
            EXPECT_TRUE(file_exists(CORPUS_SOURCE_DIR "/samples/" + p.serve)) << p.name;
        }
    }
    EXPECT_EQ(find_program(m, "gzip_stream_unlocked")->close_marker, "end");
}

TEST(Manifest, EveryLabelledAccessIsALineOfTheNamedFile) {
    for (const auto &p : shipped().programs) {
        if (!p.race)
            continue;
        ASSERT_EQ(p.race->accesses.size(), 2u) << p.name;
        for (const auto &a : p.race->accesses) {
            if (a.file.empty())
                continue; // inside a library: functions only
            auto lines = split_lines(read_file(CORPUS_SOURCE_DIR "/" + a.file));
            ASSERT_LE(size_t(a.line), lines.size()) << p.name << " " << a.file << ":" << a.line;
            EXPECT_NE(lines[size_t(a.line) - 1].find_first_not_of(" \t"), std::string::npos)
                << p.name << ": " << a.file << ":" << a.line << " is blank";
        }
    }
}

TEST(Manifest, RejectsBrokenEntries) {
    const std::string entry = R"({"program": "a", "subsystem": "s", "library": "l",
        "variant": "serialized", "twin": null, "markers": null, "inputs": [], "outputs": [],
        "check": {"kind": "omp_hello", "threads": 4}, "verdict": "v", "rationale": "r",
        "race": null})";
    EXPECT_NO_THROW(parse_manifest(R"({"verdict": "v", "programs": [)" + entry + "]}"));
    EXPECT_THROW(parse_manifest(R"({"verdict": "v", "programs": [)" + entry + "," + entry + "]}"),
                 std::runtime_error);
    std::string bad_variant = entry;
    bad_variant.replace(bad_variant.find("serialized"), 10, "sometimes");
    EXPECT_THROW(parse_manifest(R"({"verdict": "v", "programs": [)" + bad_variant + "]}"),
                 std::runtime_error);
    std::string bad_twin = entry;
    bad_twin.replace(bad_twin.find("\"twin\": null"), 12, "\"twin\": \"b\"");
    EXPECT_THROW(parse_manifest(R"({"verdict": "v", "programs": [)" + bad_twin + "]}"),
                 std::runtime_error);
    EXPECT_THROW(parse_manifest("{not json"), std::runtime_error);
    // Labels: only on racy programs, with a twin, two accesses inside the repository.
    std::string racy = entry;
    racy.replace(racy.find("\"serialized\""), 12, "\"racy\"");
    const std::string label = R"({"object": "o", "accesses": [{"file": "x.c", "line": 3,
        "kind": "write"}, {"file": "x.c", "line": 4, "kind": "read"}]})";
    auto with = [&](std::string e, const std::string &race, bool twin) {
        e.replace(e.find("\"race\": null"), 12, "\"race\": " + race);
        if (twin)
            e.replace(e.find("\"twin\": null"), 12, "\"twin\": \"b\"");
        std::string b = entry;
        b.replace(b.find("\"a\""), 3, "\"b\"");
        return R"({"programs": [)" + e + "," + b + "]}";
    };
    EXPECT_NO_THROW(parse_manifest(with(racy, label, true)));
    EXPECT_THROW(parse_manifest(with(racy, label, false)), std::runtime_error) << "no twin";
    EXPECT_THROW(parse_manifest(with(racy, "null", true)), std::runtime_error) << "no label";
    EXPECT_THROW(parse_manifest(with(entry, label, true)), std::runtime_error) << "not racy";
    for (const char *broken : {"\"line\": 3,", "\"x.c\", \"line\": 3", "\"write\""}) {
        std::string l = label;
        std::string by = std::string(broken) == "\"line\": 3," ? "\"line\": 0,"
                         : std::string(broken) == "\"write\""  ? "\"poke\""
                                                               : "\"../x.c\", \"line\": 3";
        l.replace(l.find(broken), strlen(broken), by);
        EXPECT_THROW(parse_manifest(with(racy, l, true)), std::runtime_error) << l;
    }
    // An axis is one of the six; a lock order's accesses take locks, a data race's do not.
    std::string axis = entry;
    axis.replace(axis.find("\"twin\""), 6, "\"axis\": \"lock-order\", \"twin\"");
    EXPECT_EQ(parse_manifest(R"({"programs": [)" + axis + "]}").programs[0].axis,
              axis_t::lock_order);
    // The memory a construct orders: only a race-free twin off the built-in axis names it.
    const std::string memory = R"("construct_memory": {"allocated_in": ["f"]}, "twin")";
    std::string construct = axis;
    construct.replace(construct.find("\"twin\""), 6, memory);
    EXPECT_EQ(parse_manifest(R"({"programs": [)" + construct + "]}")
                  .programs[0]
                  .construct_memory[0]
                  .allocated_in,
              std::vector<std::string>{"f"});
    construct = entry;
    construct.replace(construct.find("\"twin\""), 6, memory);
    EXPECT_THROW(parse_manifest(R"({"programs": [)" + construct + "]}"), std::runtime_error);
    axis.replace(axis.find("lock-order"), 10, "sideways");
    EXPECT_THROW(parse_manifest(R"({"programs": [)" + axis + "]}"), std::runtime_error);
    std::string order = label;
    order.replace(order.find("{\"object\""), 1, "{\"kind\": \"lock order\", ");
    EXPECT_THROW(parse_manifest(with(racy, order, true)), std::runtime_error) << "read, write";
    for (const char *k : {"\"write\"", "\"read\""})
        order.replace(order.find(k), strlen(k), "\"lock\"");
    EXPECT_EQ(parse_manifest(with(racy, order, true)).programs[0].race->kind,
              race_kind_t::lock_order);
}

// One entry with the given check; `files` replaces its input and output lists.
static manifest_t one_entry(const std::string &check,
                            const std::string &files = R"("inputs": ["i"], "outputs": ["o"])") {
    return parse_manifest(R"({"programs": [{"program": "a", "subsystem": "s", "library": "l",
        "variant": "serialized", "markers": null, "check": )" +
                          check + R"(, "verdict": "v", "rationale": "r", "race": null, )" + files +
                          "}]}");
}

TEST(Manifest, VerdictIsReadPerProgram) {
    EXPECT_EQ(one_entry(R"({"kind": "zlib_roundtrip"})").programs[0].verdict, "v");
    EXPECT_THROW(parse_manifest(R"({"programs": [{"program": "a", "subsystem": "s",
        "library": "l", "variant": "serialized", "check": {"kind": "zlib_roundtrip"},
        "rationale": "r"}]})"),
                 std::runtime_error)
        << "an entry without its verdict";
}

TEST(Manifest, CheckParametersAreRequiredAndTyped) {
    // A missing or mistyped parameter would leave a check that cannot fail.
    EXPECT_NO_THROW(one_entry(R"({"kind": "omp_hello", "threads": 4, "first_line": "0"})"));
    EXPECT_THROW(one_entry(R"({"kind": "omp_hello"})"), std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "omp_hello", "threads": "4"})"), std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "omp_hello", "threads": 0})"), std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "omp_hello", "threads": 4, "first_line": 0})"),
                 std::runtime_error);
    EXPECT_NO_THROW(one_entry(R"({"kind": "gzip_stream", "members": 10})"));
    EXPECT_THROW(one_entry(R"({"kind": "gzip_stream"})"), std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "gzip_stream", "members": 2.5})"), std::runtime_error);
    const std::string crop = R"({"kind": "image_crop", "x": 0, "y": 100, "width": 100)";
    EXPECT_NO_THROW(one_entry(crop + R"(, "height": 100})"));
    EXPECT_THROW(one_entry(crop + "}"), std::runtime_error);
    EXPECT_THROW(one_entry(crop + R"(, "height": -1})"), std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "image_crop", "x": 0, "y": 0, "width": 1, "height": 1})",
                           R"("inputs": [], "outputs": ["o"])"),
                 std::runtime_error)
        << "the crop needs its input file";
    EXPECT_THROW(one_entry(R"({"kind": "png_fanout"})", R"("inputs": ["i"], "outputs": [])"),
                 std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "xml_single"})", R"("inputs": [], "outputs": ["o"])"),
                 std::runtime_error);
    EXPECT_THROW(one_entry(R"({"kind": "download"})"), std::runtime_error) << "nothing served";
    const std::string served = R"("outputs": [], "serve": "d.txt", "stop_when_whole": "test.curl")";
    EXPECT_THROW(one_entry(R"({"kind": "download"})", served), std::runtime_error) << "no picture";
    EXPECT_NO_THROW(one_entry(R"({"kind": "download"})", served + R"(, "window_shot": "s.png")"));
    EXPECT_THROW(one_entry(R"({"kind": "no_such_check"})"), std::runtime_error);
    EXPECT_THROW(one_entry(R"("omp_hello")"), std::runtime_error);
}

TEST(Manifest, RaceTagsGiveTheirLineOnceOrFail) {
    const std::string dir = make_run_dir();
    std::ofstream(dir + "/r.c") << "int a;\n  // race: p write\nx = 1;\ny = x; // race: p read\n"
                                << "z = 2; // race: q read\n// race: q read\n// race: end write\n";
    auto label = [&](const std::string &write, const std::string &read) {
        return parse_manifest(R"({"programs": [{"program": "p", "executable": "p", "check":
            {"kind": "exit", "status": 0}, "race": {"object": "o", "accesses": [
            {"file": "r.c", "tag": ")" +
                                  write + R"(", "kind": "write"},
            {"file": "r.c", "tag": ")" +
                                  read + R"(", "kind": "read"}]}}]})",
                              dir, dir);
    };
    // A tag alone on its line labels the next one; beside a statement, its own.
    const manifest_t m = label("p write", "p read");
    const auto &a = m.programs[0].race->accesses;
    EXPECT_EQ(a[0].line, 3);
    EXPECT_EQ(a[1].line, 4);
    EXPECT_THROW(label("p write", "q read"), std::runtime_error) << "tagged twice";
    EXPECT_THROW(label("p write", "r read"), std::runtime_error) << "not tagged";
    EXPECT_THROW(label("end write", "p read"), std::runtime_error) << "no line after the tag";
}
