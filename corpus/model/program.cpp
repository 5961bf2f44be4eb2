#include "program.h"

#include <cctype>
#include <stdexcept>

nlohmann::json parse_json_bounded(const std::string &text, int max_depth) {
    int depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
            continue;
        }
        if (c == '"')
            in_string = true;
        else if ((c == '[' || c == '{') && ++depth > max_depth)
            throw std::runtime_error("JSON nested deeper than " + std::to_string(max_depth) +
                                     " levels");
        else if (c == ']' || c == '}')
            --depth;
    }
    return nlohmann::json::parse(text);
}

// Program names become folder names under --out: only letters, digits, '_', '-' and '.', not
// starting with '.' (so neither "." nor ".." nor a hidden name), at most 100 characters.
bool plain_program_name(const std::string &name) {
    if (name.empty() || name.size() > 100 || name[0] == '.' || name[0] == '-')
        return false;
    for (char ch : name)
        if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '-' && ch != '.')
            return false;
    return true;
}

// The enum value whose spelling in `names` (one per value, in order) is `name`.
template <typename E, size_t N>
static std::optional<E> named(const char *const (&names)[N], const std::string &name) {
    for (size_t i = 0; i < N; ++i)
        if (name == names[i])
            return E(i);
    return std::nullopt;
}

static const char *const variant_names[] = {"serialized", "unserialized", "single-threaded",
                                            "racy"};

const char *variant_name(variant_t v) {
    return variant_names[int(v)];
}

std::optional<variant_t> variant_named(const std::string &name) {
    return named<variant_t>(variant_names, name);
}

static const char *const race_kind_spellings[] = {"data race", "lock order"};

const char *race_kind_name(race_kind_t k) {
    return race_kind_spellings[int(k)];
}

std::optional<race_kind_t> race_kind_named(const std::string &name) {
    return named<race_kind_t>(race_kind_spellings, name);
}

static const char *const axis_names[axis_count] = {"built-in", "memory-model", "lock-order",
                                                   "schedule", "reach",        "visibility"};

const char *axis_name(axis_t a) {
    return axis_names[int(a)];
}

std::optional<axis_t> axis_named(const std::string &name) {
    return named<axis_t>(axis_names, name);
}

const program_t *find_program(const manifest_t &m, const std::string &name) {
    for (const auto &p : m.programs)
        if (p.name == name)
            return &p;
    return nullptr;
}
