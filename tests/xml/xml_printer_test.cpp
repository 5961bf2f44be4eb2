// The outline printer, driven the way expat drives it. The printer state lives for the whole
// process, so every test leaves the nesting balanced.
#include "printer.h"

#include <gtest/gtest.h>

#include <string>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static void start(const char *name, std::initializer_list<const char *> attrs = {}) {
    std::vector<const char *> a(attrs);
    a.push_back(nullptr);
    start_element(nullptr, name, a.data());
}

static void text(const std::string &t) {
    handle_data(nullptr, t.data(), static_cast<int>(t.size()));
}

static void end(const char *name) {
    end_element(nullptr, name);
}

static std::string printed(void (*calls)()) {
    CaptureStdout();
    calls();
    fflush(stdout);
    return GetCapturedStdout();
}

TEST(Printer, WorkedExample) {
    std::string out = printed([] {
        start("r", {"id", "7"});
        start("c");
        text("hi");
        end("c");
        end("r");
    });
    EXPECT_EQ(out, "r id= '7'\n"
                   " c\n"
                   "  Content of element c was \"hi\"\n"
                   " Content of element r was \"hi\"\n");
}

TEST(Printer, AttributesComeRawInArrayOrder) {
    std::string out = printed([] {
        start("e", {"q", "it's", "dq", "say \"x\"", "nl", "a\nb"});
        text("line1\nline2");
        end("e");
    });
    EXPECT_EQ(out, "e q= 'it's' dq= 'say \"x\"' nl= 'a\nb'\n"
                   " Content of element e was \"line1\nline2\"\n");
}

TEST(Printer, IndentsStartByLevelAndEndOneDeeper) {
    std::string out = printed([] {
        start("a");
        start("b");
        start("c");
        text("t");
        end("c");
        end("b");
        end("a");
    });
    EXPECT_EQ(out, "a\n"
                   " b\n"
                   "  c\n"
                   "   Content of element c was \"t\"\n"
                   "  Content of element b was \"t\"\n"
                   " Content of element a was \"t\"\n");
}

TEST(Printer, TextInPiecesShowsOnlyTheLastPiece) {
    std::string out = printed([] {
        start("p");
        text("first ");
        text("second");
        end("p");
        start("q");
        text(std::string("be\0fore", 7)); // a zero byte ends the copy
        end("q");
    });
    EXPECT_EQ(out, "p\n Content of element p was \"second\"\n"
                   "q\n Content of element q was \"be\"\n");
}
