#include "frames.h"

#include "text.h"

#include <algorithm>

// The detectors' runtimes, added as the detectors are read.
static runtime_frames_t &runtimes() {
    static runtime_frames_t all;
    return all;
}

void add_runtime_frames(const runtime_frames_t &frames) {
    runtime_frames_t &all = runtimes();
    for (auto [from, into] : {std::pair{&frames.objects, &all.objects},
                              {&frames.files, &all.files},
                              {&frames.function_prefixes, &all.function_prefixes},
                              {&frames.linked_functions, &all.linked_functions}})
        into->insert(into->end(), from->begin(), from->end());
}

// The report kinds the detector files name: index 0 data races, 1 lock-order inversions.
static std::vector<std::string> &kind_names(race_kind_t kind) {
    static std::vector<std::string> names[2];
    return names[int(kind)];
}

static void add_kind_name(race_kind_t kind, const std::string &name) {
    auto &names = kind_names(kind);
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
}

void add_race_kind(const std::string &name) {
    add_kind_name(race_kind_t::data_race, name);
}

std::vector<std::string> race_kinds() {
    return kind_names(race_kind_t::data_race);
}

void add_lock_order_kind(const std::string &name) {
    add_kind_name(race_kind_t::lock_order, name);
}

race_kind_t report_race_kind(const report_t &r) {
    const auto &names = kind_names(race_kind_t::lock_order);
    return std::find(names.begin(), names.end(), r.kind) != names.end() ? race_kind_t::lock_order
                                                                        : race_kind_t::data_race;
}

// A frame of a detector's runtime or of the schedule noise.
static bool detector_frame(const frame_t &f) {
    const runtime_frames_t &r = runtimes();
    auto has = [](const std::string &s, const std::string &part) {
        return s.find(part) != std::string::npos;
    };
    return has(f.object, "libcorpus_perturb") ||
           std::any_of(r.objects.begin(), r.objects.end(),
                       [&](const std::string &o) { return has(f.object, o); }) ||
           std::any_of(r.files.begin(), r.files.end(),
                       [&](const std::string &p) { return has(f.file, p); }) ||
           std::any_of(r.function_prefixes.begin(), r.function_prefixes.end(),
                       [&](const std::string &p) { return starts_with(f.function, p); });
}

// A frame of the memory allocator or of the C library's memory and string functions. Whole
// names only: "free" must not take in freeaddrinfo or freopen. C++ operators come with their
// parameter list ("operator new(unsigned long)").
static bool memory_frame(const frame_t &f) {
    for (const char *name : {"malloc", "calloc", "realloc", "free"})
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
    return false;
}

// Frames of the detector's own runtime, of the C library's memory and string functions (which
// the detectors intercept or replace) and of header templates inlined into our programs: the
// report is about whoever called them.
bool transparent_frame(const frame_t &f) {
    if (detector_frame(f) || memory_frame(f))
        return true;
    const bool in_program = f.object.find(".so") == std::string::npos;
    // Library templates inlined into one of our programs act on our data for our code.
    if (starts_with(f.file, "/usr/include/") && in_program)
        return true;
    // A runtime linked into the program (clang's ThreadSanitizer) shows its interceptors as
    // frames of the program without a source file, named after the libc function they stand
    // for: whole names only, so that a function of a program's own is never taken for one.
    if (f.file.empty() && !f.object.empty() && in_program)
        for (const auto &name : runtimes().linked_functions)
            if (f.function == name)
                return true;
    return false;
}

const frame_t *stack_top(const std::vector<frame_t> &stack) {
    for (const auto &f : stack)
        if (!transparent_frame(f))
            return &f;
    return nullptr;
}

const frame_t *named_stack_top(const std::vector<frame_t> &stack) {
    const frame_t *top = stack_top(stack);
    if (!top)
        return nullptr;
    for (const frame_t *f = top; f != stack.data() + stack.size(); ++f) {
        if (transparent_frame(*f))
            continue;
        if (f->object != top->object)
            break;
        if (!f->function.empty())
            return f;
    }
    return top;
}

std::string stack_top_name(const std::vector<frame_t> &stack) {
    const frame_t *top = named_stack_top(stack);
    if (!top)
        return "-";
    return (top->function.empty() ? "?" : bare_function(top->function)) + " (" +
           top->object.substr(top->object.rfind('/') + 1) + ")";
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

bool function_named(const std::string &function, const std::string &name) {
    if (name == "?")
        return function.empty();
    // GCC's clones of a function ("callProcessor.constprop.0", "f.isra.0", "f.part.0") are
    // that function.
    std::string bare = bare_function(function);
    for (const char *clone : {".constprop.", ".isra.", ".part.", ".cold"})
        bare = bare.substr(0, bare.find(clone));
    std::string plain;
    int depth = 0;
    for (char c : bare)
        if (c == '<')
            ++depth;
        else if (c == '>')
            depth -= depth > 0;
        else if (depth == 0)
            plain += c;
    plain = plain.substr(plain.rfind(' ') == std::string::npos ? 0 : plain.rfind(' ') + 1);
    return !function.empty() && (bare == name || plain == name);
}
