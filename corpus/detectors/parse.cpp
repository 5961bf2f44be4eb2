#include "parse.h"

#include <algorithm>
#include <cstdlib>
#include <expat.h>
#include <map>
#include <sstream>

static bool starts_with(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Frames of the detector's own runtime, of the C library's memory and string functions (which
// the detectors intercept or replace) and of header templates inlined into our programs: the
// report is about whoever called them.
bool transparent_frame(const frame_t &f) {
    if (f.object.find("libtsan") != std::string::npos ||
        f.object.find("libcorpus_perturb") != std::string::npos ||
        f.object.find("vgpreload_") != std::string::npos ||
        f.file.find("libsanitizer") != std::string::npos || starts_with(f.function, "__tsan") ||
        starts_with(f.function, "__interceptor_"))
        return true;
    // Library templates inlined into one of our programs act on our data for our code.
    if (starts_with(f.file, "/usr/include/") && f.object.find(".so") == std::string::npos)
        return true;
    // Whole names only: "free" must not take in freeaddrinfo or freopen. C++ operators come
    // with their parameter list ("operator new(unsigned long)").
    static const char *memory_functions[] = {"malloc", "calloc", "realloc", "free"};
    for (const char *name : memory_functions)
        if (f.function == name)
            return true;
    for (const char *name : {"operator new", "operator delete"})
        if (f.function == name || starts_with(f.function, std::string(name) + "(") ||
            starts_with(f.function, std::string(name) + "[]"))
            return true;
    if (f.object.find("libc.so") != std::string::npos)
        for (const char *prefix : {"mem", "str", "__mem", "__str", "__GI_mem", "__GI_str"})
            if (starts_with(f.function, prefix))
                return true;
    // clang links ThreadSanitizer's runtime into the program: its interceptors then show as
    // frames of the program without a source file, named after the libc function they stand
    // for. Whole names only, so that a function of a program's own is never taken for one.
    if (f.file.empty() && !f.object.empty() && f.object.find(".so") == std::string::npos)
        for (const char *name : {"memcpy",
                                 "memmove",
                                 "memset",
                                 "memcmp",
                                 "memchr",
                                 "strcmp",
                                 "strncmp",
                                 "strlen",
                                 "strnlen",
                                 "strcpy",
                                 "strncpy",
                                 "strcat",
                                 "strchr",
                                 "strrchr",
                                 "strstr",
                                 "strdup",
                                 "strndup",
                                 "strcasecmp",
                                 "strncasecmp",
                                 "gmtime",
                                 "gmtime_r",
                                 "localtime",
                                 "localtime_r",
                                 "getenv",
                                 "setlocale",
                                 "fwrite",
                                 "fread",
                                 "fputs",
                                 "puts",
                                 "printf",
                                 "vsscanf",
                                 "sscanf",
                                 "__isoc99_vsscanf",
                                 "__isoc99_sscanf",
                                 "posix_memalign",
                                 "aligned_alloc",
                                 "memalign",
                                 "valloc",
                                 "pthread_mutex_lock",
                                 "pthread_mutex_unlock",
                                 "pthread_mutex_trylock",
                                 "pthread_cond_wait",
                                 "pthread_cond_signal",
                                 "pthread_cond_broadcast"})
            if (f.function == name)
                return true;
    return false;
}

std::string bare_function(const std::string &name) {
    // The parameter list is the parenthesised group that ends the name, so that
    // "(anonymous namespace)::f(int)" keeps its namespace and "operator()(int)" its operator.
    const std::string n = name.substr(0, name.find(" [clone "));
    const size_t end = n.rfind(')');
    int depth = 0;
    for (size_t i = end == std::string::npos ? 0 : end + 1; i-- > 0;)
        if (n[i] == ')')
            ++depth;
        else if (n[i] == '(' && --depth == 0)
            return n.substr(0, i);
    return n;
}

bool frame_in_objects(const frame_t &f, const std::vector<std::string> &objects) {
    const std::string name = f.object.substr(f.object.rfind('/') + 1);
    for (const auto &object : objects)
        if (name == object || name.rfind(object + ".", 0) == 0)
            return true;
    return objects.empty();
}

static std::string base_name(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

static bool same_object(const std::string &object, const std::string &path) {
    // valgrind names an object by its path, ThreadSanitizer sometimes by its file name only.
    if (path.empty())
        return false;
    if (object.find('/') != std::string::npos)
        return object == path;
    return object == base_name(path);
}

static bool own_frame(const frame_t &f, const own_code_t &own) {
    if (!f.object.empty() && !own.program.empty()) {
        if (same_object(f.object, own.program))
            return true;
        if (!own.library_dir.empty() && f.object.find('/') != std::string::npos &&
            starts_with(f.object, own.library_dir + "/"))
            return true;
        return false;
    }
    return !f.file.empty() && !own.source_dir.empty() && starts_with(f.file, own.source_dir + "/");
}

void classify_report(report_t &r, const own_code_t &own) {
    std::vector<std::string> signatures;
    r.own = false;
    r.where.clear();
    for (const auto &stack : r.access_stacks) {
        std::string signature;
        int named = 0;
        bool decided = false;
        for (const auto &f : stack) {
            if (transparent_frame(f))
                continue;
            if (!decided) {
                decided = true;
                if (own_frame(f, own)) {
                    r.own = true;
                    r.where = f.function + " " + (f.file.empty() ? f.object : f.file);
                } else if (r.where.empty()) {
                    r.where = f.function.empty() ? f.object : f.function;
                }
            }
            if (named++ < 3)
                signature += (f.function.empty() ? f.object : f.function) + ";";
        }
        signatures.push_back(signature);
    }
    std::sort(signatures.begin(), signatures.end());
    r.key = r.kind;
    for (const auto &s : signatures)
        r.key += "|" + s;
}

report_summary_t summarize_reports(const std::vector<report_t> &reports) {
    report_summary_t s;
    std::map<std::string, size_t> seen;
    for (const auto &r : reports) {
        if (seen.count(r.key))
            continue;
        seen[r.key] = s.reports.size();
        s.reports.push_back(r);
        ++(r.own ? s.own : s.library);
    }
    s.distinct = int(s.reports.size());
    return s;
}

// --- ThreadSanitizer ------------------------------------------------------------------------

// "    #3 function args /path/file.cpp:12:5 (module+0x1234)"
static frame_t parse_tsan_frame(std::string line) {
    frame_t f;
    size_t hash = line.find('#');
    size_t space = line.find(' ', hash);
    line = space == std::string::npos ? "" : line.substr(space + 1);
    // Newer runtimes append the module's build id.
    size_t build_id = line.find(" (BuildId: ");
    if (build_id != std::string::npos)
        line = line.substr(0, build_id);
    if (!line.empty() && line.back() == ')') {
        size_t open = line.rfind(" (");
        if (open != std::string::npos) {
            f.object = line.substr(open + 2, line.size() - open - 3);
            // "libstdc++.so.6+0x1234": the offset follows the last '+', names may hold others.
            f.object = f.object.substr(0, f.object.rfind("+0x"));
            line = line.substr(0, open);
        }
    }
    size_t last = line.rfind(' ');
    std::string location = last == std::string::npos ? line : line.substr(last + 1);
    f.function = last == std::string::npos ? "" : line.substr(0, last);
    if (f.function == "<null>")
        f.function.clear();
    if (location != "<null>") {
        size_t colon = location.find(':');
        f.file = location.substr(0, colon);
        if (colon != std::string::npos)
            f.line = std::atoi(location.c_str() + colon + 1);
    }
    return f;
}

std::vector<report_t> parse_tsan_log(const std::string &log, const own_code_t &own) {
    std::vector<report_t> out;
    std::istringstream in(log);
    std::string line;
    bool inside = false, access = false;
    report_t cur;
    std::vector<std::vector<frame_t>> context;
    auto finish = [&]() {
        if (!inside)
            return;
        // Reports without an access of their own (thread leaks, lock-order inversions) are
        // judged by the stacks they have.
        if (cur.access_stacks.empty())
            cur.access_stacks = context;
        classify_report(cur, own);
        out.push_back(cur);
        inside = false;
    };
    const std::string warning = "WARNING: ThreadSanitizer: ";
    while (std::getline(in, line)) {
        size_t w = line.find(warning);
        if (w != std::string::npos) {
            finish();
            inside = true;
            cur = report_t{};
            context.clear();
            std::string kind = line.substr(w + warning.size());
            cur.kind = kind.substr(0, kind.find(" (pid="));
            access = false;
            continue;
        }
        if (!inside)
            continue;
        if (starts_with(line, "SUMMARY: ") || starts_with(line, "==================")) {
            finish();
            continue;
        }
        if (starts_with(line, "    #")) {
            auto &stacks = access ? cur.access_stacks : context;
            if (stacks.empty())
                stacks.emplace_back();
            stacks.back().push_back(parse_tsan_frame(line));
        } else if (starts_with(line, "  ") && line.size() > 2 && line[2] != ' ') {
            // A section header: an access ("Write of size 8 at ... by thread T1:") or context
            // (where the memory lives, where a thread or mutex was created).
            std::string header = line.substr(2);
            access = header.find(" of size ") != std::string::npos &&
                     !starts_with(header, "Location is");
            (access ? cur.access_stacks : context).emplace_back();
        }
    }
    finish();
    return out;
}

// --- valgrind XML ---------------------------------------------------------------------------

struct vg_state_t {
    std::vector<report_t> reports;
    own_code_t own;
    std::vector<std::string> path; // open elements
    std::string text;
    bool in_error = false;
    report_t cur;
    int stacks = 0;
    std::string last_aux; // text of the latest auxwhat/xauxwhat of the error
    std::vector<frame_t> stack;
    frame_t frame;
    std::string dir;
};

static void vg_start(void *data, const XML_Char *name, const XML_Char **) {
    auto *s = static_cast<vg_state_t *>(data);
    std::string n = name;
    s->path.push_back(n);
    s->text.clear();
    if (n == "error" && s->path.size() == 2) {
        s->in_error = true;
        s->cur = report_t{};
        s->stacks = 0;
        s->last_aux.clear();
    } else if (n == "stack") {
        s->stack.clear();
    } else if (n == "frame") {
        s->frame = frame_t{};
        s->dir.clear();
    }
}

static void vg_end(void *data, const XML_Char *name) {
    auto *s = static_cast<vg_state_t *>(data);
    std::string n = name;
    std::string parent = s->path.size() >= 2 ? s->path[s->path.size() - 2] : "";
    if (s->in_error) {
        if (n == "kind" && parent == "error") {
            s->cur.kind = s->text;
        } else if (n == "text" && (parent == "auxwhat" || parent == "xauxwhat")) {
            s->last_aux = s->text;
        } else if (n == "auxwhat" && parent == "error") {
            s->last_aux = s->text;
        } else if (n == "fn") {
            s->frame.function = s->text;
        } else if (n == "obj") {
            s->frame.object = s->text;
        } else if (n == "dir") {
            s->dir = s->text;
        } else if (n == "file") {
            s->frame.file = s->text;
        } else if (n == "line") {
            s->frame.line = std::atoi(s->text.c_str());
        } else if (n == "frame") {
            if (!s->dir.empty() && !s->frame.file.empty())
                s->frame.file = s->dir + "/" + s->frame.file;
            s->stack.push_back(s->frame);
        } else if (n == "stack" && parent == "error") {
            // The first stack is the access being reported; helgrind adds the conflicting
            // access after "This conflicts with ...". Other stacks (allocation, segment ends)
            // are context.
            if (s->stacks++ == 0 || starts_with(s->last_aux, "This conflicts with"))
                s->cur.access_stacks.push_back(s->stack);
            else if (starts_with(s->last_aux, "Address ") &&
                     s->last_aux.find("alloc'd") != std::string::npos)
                s->cur.allocation = s->stack;
        } else if (n == "error" && s->path.size() == 2) {
            classify_report(s->cur, s->own);
            s->reports.push_back(s->cur);
            s->in_error = false;
        }
    }
    s->path.pop_back();
    s->text.clear();
}

static void vg_text(void *data, const XML_Char *text, int len) {
    static_cast<vg_state_t *>(data)->text.append(text, size_t(len));
}

std::vector<report_t> parse_valgrind_xml(const std::string &xml, const own_code_t &own) {
    vg_state_t s;
    s.own = own;
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser)
        return {};
    XML_SetUserData(parser, &s);
    XML_SetElementHandler(parser, vg_start, vg_end);
    XML_SetCharacterDataHandler(parser, vg_text);
    // A run cut short leaves the file unfinished; the errors read so far still count.
    XML_Parse(parser, xml.data(), int(xml.size()), 1);
    XML_ParserFree(parser);
    return s.reports;
}

bool valgrind_xml_finished(const std::string &xml) {
    size_t end = xml.rfind("</valgrindoutput>");
    return end != std::string::npos &&
           xml.find_first_not_of(" \t\r\n", end + 17) == std::string::npos;
}
