#include "judge.h"

#include "frames.h"
#include "memory.h"
#include "text.h"

#include <algorithm>

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
        if (const frame_t *top = stack_top(stack)) {
            if (own_frame(*top, own)) {
                r.own = true;
                r.where = top->function + " " + (top->file.empty() ? top->object : top->file);
            } else if (r.where.empty()) {
                r.where = top->function.empty() ? top->object : top->function;
            }
        }
        std::string signature;
        int named = 0;
        for (const auto &f : stack)
            if (!transparent_frame(f) && named++ < 3)
                signature += (f.function.empty() ? f.object : f.function) + ";";
        signatures.push_back(signature);
    }
    std::sort(signatures.begin(), signatures.end());
    r.key = r.kind;
    for (const auto &s : signatures)
        r.key += "|" + s;
}

static bool ends_with_path(const std::string &path, const std::string &tail) {
    if (path == tail)
        return true;
    return path.size() > tail.size() &&
           path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
           path[path.size() - tail.size() - 1] == '/';
}

// How a stack shows the access: by its file and line where the frames carry lines, by object
// and function where they do not (a build without -g, a stripped library). An access inside a
// library has no line: it is matched by object and function, lines or not.
static label_match_t stack_match(const std::vector<frame_t> &stack, const race_access_t &a) {
    label_match_t best = label_match_t::none;
    for (const auto &f : stack) {
        if (f.line > 0 && a.line > 0) {
            if (f.line == a.line && ends_with_path(f.file, a.file))
                return label_match_t::by_line;
            continue;
        }
        for (const auto &fn : a.functions)
            if (bare_function(f.function) == fn && frame_in_objects(f, a.objects))
                best = label_match_t::by_function;
    }
    return best;
}

// A label access that names its memory is shown only by a report on that memory, or by one
// whose tool names no memory (ThreadSanitizer on a block already freed), judged by its frames.
static bool label_memory(const report_t &r, const race_access_t &a) {
    return a.where.empty() || r.memory.kind == memory_kind_t::unknown ||
           memory_matches_any(r.memory, a.where);
}

label_match_t match_label(const report_t &r, const race_label_t &label) {
    label_match_t best = label_match_t::none;
    if (report_race_kind(r) != label.kind || label.accesses.size() != 2 ||
        !label_memory(r, label.accesses[0]) || !label_memory(r, label.accesses[1]))
        return best;
    // The allocation stands for the allocating thread's first write to the memory.
    auto s = r.access_stacks;
    if (!r.allocation.empty())
        s.push_back(r.allocation);
    for (size_t i = 0; i < s.size(); ++i)
        for (size_t j = 0; j < s.size(); ++j)
            if (i != j)
                best = std::max(best, std::min(stack_match(s[i], label.accesses[0]),
                                               stack_match(s[j], label.accesses[1])));
    return best;
}

bool report_shows_label_side(const report_t &r, const race_label_t &label) {
    // The one stack the report has: drd's, or the later access's where the tool no longer knew
    // the earlier one's ("[failed to restore the stack]").
    const std::vector<frame_t> *only = nullptr;
    for (const auto &stack : r.access_stacks) {
        if (stack.empty())
            continue;
        if (only)
            return false;
        only = &stack;
    }
    if (!only || report_race_kind(r) != label.kind)
        return false;
    for (const auto &a : label.accesses)
        if (label_memory(r, a) && stack_match(*only, a) != label_match_t::none)
            return true;
    return false;
}

bool report_matches_label(const report_t &r, const race_label_t &label) {
    return match_label(r, label) != label_match_t::none;
}

bool report_shows_label(const report_t &r, const race_label_t &label) {
    if (label.accesses.empty())
        return report_race_kind(r) == label.kind;
    return report_matches_label(r, label) || report_shows_label_side(r, label);
}

bool runtime_only_report(const report_t &r) {
    static const char *runtimes[] = {"libglib-", "libgobject-", "libgdk-",   "libgtk-",  "libgio-",
                                     "libgomp",  "libomp",      "libarcher", "libstdc++"};
    if (r.access_stacks.empty())
        return false;
    for (const auto &stack : r.access_stacks) {
        const frame_t *top = stack_top(stack);
        bool runtime = false;
        for (const char *lib : runtimes)
            runtime = runtime || (top && top->object.find(lib) != std::string::npos);
        if (!runtime)
            return false;
    }
    return true;
}
