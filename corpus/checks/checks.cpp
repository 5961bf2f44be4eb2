#include "check_kit.h"

#include <optional>
#include <stdexcept>

namespace {
// A check kind: how it reads its parameters from the manifest and how it checks a run.
struct check_kind_t {
    const char *name;
    void (*read)(const nlohmann::json &check, const program_t &p, check_spec_t &s);
    void (*check)(check_result_t &, const program_t &, const run_output_t &,
                  const output_lines_t &);
};
} // namespace

// Every check kind; each lives in a file of its own beside this one.
static const check_kind_t check_kinds[] = {
    {"xml_single", read_xml, check_xml_single},
    {"xml_fanout", read_xml_fanout, check_xml_fanout},
    {"png_fanout", read_png, check_png_fanout},
    {"image_crop", read_image_crop, check_image_crop},
    {"download", read_download, check_download},
    {"zlib_roundtrip", read_nothing, check_zlib_roundtrip},
    {"gzip_stream", read_gzip, check_gzip_stream},
    {"omp_hello", read_omp, check_omp_hello},
    {"exit", read_exit, check_exit_status},
};

static const check_kind_t *find_kind(const std::string &name) {
    for (const auto &k : check_kinds)
        if (name == k.name)
            return &k;
    return nullptr;
}

check_spec_t read_check(const nlohmann::json &check, const program_t &p) {
    if (!check.is_object())
        throw std::runtime_error("check must be an object");
    auto kind = check.find("kind");
    if (kind == check.end() || !kind->is_string())
        throw std::runtime_error("check needs a \"kind\"");
    const check_kind_t *k = find_kind(kind->get<std::string>());
    if (!k)
        throw std::runtime_error("unknown check kind " + kind->get<std::string>());
    check_spec_t s;
    s.kind = k->name;
    k->read(check, p, s);
    return s;
}

check_result_t check_run(const program_t &p, const run_output_t &r) {
    check_result_t c;
    std::optional<output_lines_t> digested;
    if (!r.out_lines)
        digested = output_digest(r.out);
    if (const check_kind_t *k = find_kind(p.check.kind))
        k->check(c, p, r, r.out_lines ? *r.out_lines : *digested);
    else
        fail(c, "no check of kind " + shown(p.check.kind));
    if (c.outputs.empty())
        c.outputs = "-";
    return c;
}
