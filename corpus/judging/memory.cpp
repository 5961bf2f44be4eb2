#include "memory.h"

#include "frames.h"
#include "text.h"

#include <algorithm>
#include <cstring>
#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;
namespace fs = std::filesystem;

// The first "0x..." number after `from` in `text` (0 when there is none).
static uint64_t hex_after(const std::string &text, size_t from = 0) {
    size_t at = text.find("0x", from);
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 2, nullptr, 16);
}

// The number after `word`, as valgrind prints it: with thousands separated ("16,792").
static uint64_t number_after(const std::string &text, const std::string &word) {
    size_t at = text.find(word);
    if (at == std::string::npos)
        return 0;
    std::string digits;
    for (size_t i = at + word.size();
         i < text.size() && (isdigit(static_cast<unsigned char>(text[i])) || text[i] == ','); ++i)
        if (text[i] != ',')
            digits += text[i];
    return digits.empty() ? 0 : std::strtoull(digits.c_str(), nullptr, 10);
}

// The text between the first pair of `quote`s after `from`.
static std::string quoted(const std::string &text, size_t from, char quote) {
    size_t open = text.find(quote, from);
    size_t close = open == std::string::npos ? open : text.find(quote, open + 1);
    return close == std::string::npos ? "" : text.substr(open + 1, close - open - 1);
}

static std::string demangled(const std::string &name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> d(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
    return status == 0 && d ? std::string(d.get()) : name;
}

// A symbol as people write it: without its version ("_ZSt4cout@GLIBCXX_3.4") and demangled.
static std::string plain_symbol(const std::string &name) {
    return demangled(name.substr(0, name.find('@')));
}

memory_t tsan_location(const std::string &line) {
    memory_t m;
    if (starts_with(line, "Location is global ")) {
        m.kind = memory_kind_t::global;
        m.symbol = quoted(line, 0, '\'');
        // "<null>" (GCC's runtime) and "??" (clang's symbolizer) name nothing.
        m.symbol = m.symbol == "<null>" || m.symbol == "??" ? "" : plain_symbol(m.symbol);
        m.address = hex_after(line, line.find(" at "));
        // "(libx.so.1+0x2d080)": the object and the offset in it; names may hold '+'.
        size_t open = line.rfind(" (");
        size_t plus = line.rfind("+0x");
        if (open != std::string::npos && plus != std::string::npos && plus > open) {
            m.object = line.substr(open + 2, plus - open - 2);
            m.offset = std::strtoull(line.c_str() + plus + 3, nullptr, 16);
        }
        // "([stack]+0x1f7e4)": a thread's stack, which clang's runtime reports as a global.
        if (m.object == "[stack]") {
            m = memory_t{};
            m.kind = memory_kind_t::stack;
        }
    } else if (starts_with(line, "Location is heap block")) {
        m.kind = memory_kind_t::heap;
        m.block_size = number_after(line, "of size ");
        m.address = hex_after(line, line.find(" at "));
    } else if (starts_with(line, "Location is stack") || starts_with(line, "Location is TLS")) {
        m.kind = memory_kind_t::stack;
    }
    return m;
}

void valgrind_location(memory_t &m, const std::string &text) {
    // drd: "Conflicting load by thread 3 at 0x0488000c size 4".
    if (starts_with(text, "Conflicting ")) {
        m.address = hex_after(text, text.find(" at "));
        return;
    }
    // helgrind: "Possible data race during read of size 4 at 0x485F00C by thread #3".
    if (starts_with(text, "Possible data race ") && !m.address) {
        m.address = hex_after(text, text.find(" at "));
        return;
    }
    const bool address = starts_with(text, "Address 0x") || starts_with(text, "Location 0x");
    if (address && !m.address)
        m.address = hex_after(text);
    if (address && text.find(" inside a block of size ") != std::string::npos) {
        // "Address 0x... is 16792 bytes inside a block of size 16800 alloc'd"
        m.kind = memory_kind_t::heap;
        m.block_size = number_after(text, "block of size ");
        m.block_offset = number_after(text, " is ");
    } else if (address && (text.find(" inside data symbol \"") != std::string::npos ||
                           text.find(" inside global var \"") != std::string::npos)) {
        m.kind = memory_kind_t::global;
        m.symbol = plain_symbol(quoted(text, text.find(" inside "), '"'));
    } else if (address && text.find(" segment of ") != std::string::npos) {
        // "Address 0x485f010 is in the BSS segment of /tmp/libt.so"
        m.kind = memory_kind_t::global;
        m.object = text.substr(text.find(" segment of ") + 12);
    } else if (address && (text.find("'s stack") != std::string::npos ||
                           text.find(" inside local var ") != std::string::npos)) {
        m.kind = memory_kind_t::stack;
    } else if (starts_with(text, "Allocation context: ") &&
               text.find(" section of ") != std::string::npos) {
        // drd: "Allocation context: BSS section of /tmp/libt.so"
        m.kind = memory_kind_t::global;
        m.object = text.substr(text.find(" section of ") + 12);
    } else if (address && (text.find("Allocation context:") != std::string::npos ||
                           text.find(" is at offset ") != std::string::npos)) {
        // drd: "Address 0x... is at offset 8 from 0x...." and its allocation stack.
        m.kind = memory_kind_t::heap;
        if (text.find(" is at offset ") != std::string::npos)
            m.block_offset = number_after(text, " is at offset ");
    }
}

std::vector<loaded_object_t> valgrind_loaded_objects(const std::string &log) {
    std::vector<loaded_object_t> objects;
    std::istringstream in(log);
    std::string line, reading;
    const std::string syms = "Reading syms from ", svma = "svma 0x", avma = "avma 0x";
    while (std::getline(in, line)) {
        if (size_t at = line.find(syms); at != std::string::npos) {
            reading = line.substr(at + syms.size());
            continue;
        }
        size_t s = line.find(svma), a = line.find(avma);
        if (reading.empty() || s == std::string::npos || a == std::string::npos)
            continue;
        const uint64_t base = std::strtoull(line.c_str() + a + avma.size(), nullptr, 16) -
                              std::strtoull(line.c_str() + s + svma.size(), nullptr, 16);
        // The tool itself is no object of the program's (its preloaded parts are).
        const bool tool = reading.find("/valgrind/") != std::string::npos &&
                          base_name(reading).rfind("vgpreload_", 0) != 0;
        std::error_code ec;
        const std::string path = fs::weakly_canonical(reading, ec).string();
        if (!tool)
            objects.push_back({base, path.empty() ? reading : path, base_name(reading)});
        reading.clear();
    }
    return objects;
}

// --- ELF files ------------------------------------------------------------------------------

namespace {
struct elf_section_t {
    std::string name;
    uint64_t addr = 0, size = 0;
};
struct elf_symbol_t {
    std::string name;
    uint64_t value = 0, size = 0;
};
struct elf_file_t {
    std::vector<elf_section_t> sections; // allocated sections only
    std::vector<elf_symbol_t> symbols;   // data and function symbols with a size
    uint64_t end = 0;                    // past the highest allocated section
    std::string build_id;                // in hex, "" when the file has none
    bool full_symbols = false;           // a .symtab, not only the dynamic symbols
};
} // namespace

namespace {
// An open file read in parts: a library's debug file runs to hundreds of megabytes, of which
// only the headers, the symbol table and its names are wanted.
struct file_parts_t {
    int fd = -1;
    uint64_t size = 0;
    explicit file_parts_t(const std::string &path) : fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st;
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0)
            size = uint64_t(st.st_size);
    }
    ~file_parts_t() {
        if (fd >= 0)
            close(fd);
    }
    file_parts_t(const file_parts_t &) = delete;
    file_parts_t &operator=(const file_parts_t &) = delete;
    bool fits(uint64_t off, uint64_t n) const {
        return off <= size && n <= size - off;
    }
    // Bytes [off, off + n), or "" when the file does not hold them all.
    std::string part(uint64_t off, uint64_t n) const {
        if (!fits(off, n))
            return "";
        std::string data(n, '\0');
        for (uint64_t done = 0; done < n;) {
            const ssize_t got = pread(fd, &data[done], n - done, off_t(off + done));
            if (got <= 0)
                return "";
            done += uint64_t(got);
        }
        return data;
    }
};
} // namespace

// The NUL-terminated name at `index` of a string table's bytes.
static std::string name_at(const std::string &table, uint64_t index) {
    if (index >= table.size())
        return "";
    return std::string(table.data() + index, strnlen(table.data() + index, table.size() - index));
}

// Reads the allocated sections and the symbols (.symtab where the file keeps one, else
// .dynsym) of a 64-bit ELF file; an empty record for anything else.
static elf_file_t read_elf(const std::string &path) {
    elf_file_t e;
    const file_parts_t file(path);
    const std::string header = file.part(0, sizeof(Elf64_Ehdr));
    if (header.empty())
        return e;
    Elf64_Ehdr h;
    std::memcpy(&h, header.data(), sizeof h);
    if (std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0 || h.e_ident[EI_CLASS] != ELFCLASS64 ||
        h.e_shentsize != sizeof(Elf64_Shdr) || h.e_shnum == 0)
        return e;
    const std::string table = file.part(h.e_shoff, uint64_t(h.e_shnum) * sizeof(Elf64_Shdr));
    if (table.empty())
        return e;
    std::vector<Elf64_Shdr> sh(h.e_shnum);
    std::memcpy(sh.data(), table.data(), sh.size() * sizeof(Elf64_Shdr));
    // A string table's bytes ("" for a section that is none or lies outside the file).
    auto strings = [&](const Elf64_Shdr &s) {
        return s.sh_type == SHT_STRTAB ? file.part(s.sh_offset, s.sh_size) : std::string();
    };
    const std::string names = h.e_shstrndx < sh.size() ? strings(sh[h.e_shstrndx]) : "";
    const Elf64_Shdr *symtab = nullptr;
    for (const auto &s : sh) {
        const std::string name = name_at(names, s.sh_name);
        if ((s.sh_flags & SHF_ALLOC) && s.sh_size > 0 && s.sh_type != SHT_NOTE) {
            e.sections.push_back({name, s.sh_addr, s.sh_size});
            e.end = std::max(e.end, s.sh_addr + s.sh_size);
        }
        if (s.sh_type == SHT_SYMTAB || (s.sh_type == SHT_DYNSYM && !symtab))
            symtab = &s;
        // The build id names the file of debug information that Debian's -dbg packages install.
        if (name == ".note.gnu.build-id" && s.sh_size > 16 && s.sh_size <= 1024) {
            static const char digits[] = "0123456789abcdef";
            const std::string note = file.part(s.sh_offset, s.sh_size);
            for (size_t i = 16; i < note.size(); ++i) {
                const auto byte = static_cast<unsigned char>(note[i]);
                e.build_id += digits[byte >> 4];
                e.build_id += digits[byte & 15];
            }
        }
    }
    if (!symtab || symtab->sh_link >= sh.size())
        return e;
    const std::string symbols = file.part(symtab->sh_offset, symtab->sh_size);
    const std::string symbol_names = strings(sh[symtab->sh_link]);
    if (symbols.empty())
        return e;
    e.full_symbols = symtab->sh_type == SHT_SYMTAB;
    for (size_t off = 0; off + sizeof(Elf64_Sym) <= symbols.size(); off += sizeof(Elf64_Sym)) {
        Elf64_Sym s;
        std::memcpy(&s, symbols.data() + off, sizeof s);
        const int type = ELF64_ST_TYPE(s.st_info);
        if (s.st_size == 0 || s.st_shndx == SHN_UNDEF || (type != STT_OBJECT && type != STT_FUNC))
            continue;
        e.symbols.push_back(
            {plain_symbol(name_at(symbol_names, s.st_name)), s.st_value, s.st_size});
    }
    return e;
}

// ELF files are read once per runner: runs made at once share them.
static const elf_file_t &elf_file(const std::string &path) {
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<elf_file_t>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto &slot = cache[path];
    if (!slot) {
        slot = std::make_unique<elf_file_t>(read_elf(path));
        // A stripped file's own symbols, from its debug information where that is installed.
        if (!slot->full_symbols && slot->build_id.size() > 2) {
            const elf_file_t debug =
                read_elf("/usr/lib/debug/.build-id/" + slot->build_id.substr(0, 2) + "/" +
                         slot->build_id.substr(2) + ".debug");
            if (debug.full_symbols)
                slot->symbols = debug.symbols;
        }
    }
    return *slot;
}

void place_memory(memory_t &m, const std::vector<loaded_object_t> &objects) {
    if (m.kind != memory_kind_t::global && m.kind != memory_kind_t::unknown)
        return;
    std::string path;
    // ThreadSanitizer gives the object's file name and the offset; valgrind the address, and
    // sometimes the object's path.
    for (const auto &o : objects) {
        const bool named = m.object.empty() || base_name(m.object) == base_name(o.path) ||
                           base_name(m.object) == o.name;
        if (m.offset && !m.object.empty()) {
            if (named)
                path = o.path;
        } else if (m.address != 0 && m.address >= o.base && !o.path.empty() && named) {
            const elf_file_t &e = elf_file(o.path);
            if (m.address - o.base < e.end) {
                path = o.path;
                m.offset = m.address - o.base;
            }
        }
    }
    if (path.empty() && m.offset && starts_with(m.object, "/"))
        path = m.object;
    if (path.empty() || !m.offset)
        return;
    if (m.kind == memory_kind_t::unknown)
        m.kind = memory_kind_t::global;
    m.object = path;
    const elf_file_t &e = elf_file(path);
    for (const auto &s : e.sections)
        if (*m.offset >= s.addr && *m.offset < s.addr + s.size)
            m.section = s.name;
    if (m.symbol.empty())
        for (const auto &s : e.symbols)
            if (*m.offset >= s.value && *m.offset < s.value + s.size)
                m.symbol = s.name;
}

// Whether a frame is an allocation: malloc and its kin, operator new, under their own names or
// as a runtime's interceptors.
static bool allocation_frame(const frame_t &f) {
    std::string name = bare_function(f.function);
    if (starts_with(name, "__interceptor_"))
        name = name.substr(14);
    for (const char *fn :
         {"malloc", "calloc", "realloc", "reallocarray", "aligned_alloc", "memalign",
          "posix_memalign", "valloc", "pvalloc", "operator new", "operator new[]"})
        if (name == fn)
            return true;
    return false;
}

// A report that names no memory but one of whose accesses is an allocation is on the block that
// allocation made.
static void memory_from_allocation(report_t &r) {
    if (r.memory.kind != memory_kind_t::unknown)
        return;
    for (const auto &stack : r.access_stacks)
        if (!stack.empty() && allocation_frame(stack.front())) {
            r.memory.kind = memory_kind_t::heap;
            r.memory.allocated = stack;
            r.memory.from_allocation = true;
            return;
        }
}

void place_report_memory(report_t &r, const std::vector<loaded_object_t> &objects) {
    memory_from_allocation(r);
    place_memory(r.memory, objects);
    const memory_t &m = r.memory;
    std::string key;
    if (m.kind == memory_kind_t::global)
        key = "global " + base_name(m.object) + ":" +
              (!m.symbol.empty() ? m.symbol
               : m.offset        ? m.section + "+" + hex(*m.offset)
                                 : "?");
    else if (m.kind == memory_kind_t::heap)
        key = "heap " + stack_top_name(m.allocated) +
              (m.block_offset ? "+" + hex(*m.block_offset) : "");
    else if (m.kind == memory_kind_t::stack)
        key = "stack";
    if (!key.empty())
        r.key += "|@" + key;
}

// --- Describing and matching ------------------------------------------------------------------

static uint64_t offset_value(const json &j) {
    if (!j.is_string() || !starts_with(j.get<std::string>(), "0x") ||
        j.get<std::string>().size() < 3)
        throw std::runtime_error("an offset is a hexadecimal string (\"0x2d080\")");
    const std::string s = j.get<std::string>();
    if (s.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos || s.size() > 18)
        throw std::runtime_error("an offset is a hexadecimal string (\"0x2d080\")");
    return std::strtoull(s.c_str() + 2, nullptr, 16);
}

static where_t parse_one_where(const json &j) {
    if (!j.is_object())
        throw std::runtime_error("\"where\" is an object or a list of objects");
    where_t w;
    for (const auto &[key, value] : j.items()) {
        if (key == "symbol" || key == "section" || key == "object") {
            if (!value.is_string() || value.get<std::string>().empty())
                throw std::runtime_error("\"where\": \"" + key + "\" is a non-empty string");
            (key == "symbol" ? w.symbol : key == "section" ? w.section : w.object) = value;
        } else if (key == "offset" || key == "block_offset") {
            if (!value.is_array() || value.size() != 2)
                throw std::runtime_error("\"where\": \"" + key + "\" is [from, to)");
            uint64_t &from = key == "offset" ? w.from : w.block_from;
            uint64_t &to = key == "offset" ? w.to : w.block_to;
            from = offset_value(value[0]);
            to = offset_value(value[1]);
            if (from >= to)
                throw std::runtime_error("\"where\": an offset range runs from low to high");
        } else if (key == "unnamed") {
            if (!value.is_boolean() || !value.get<bool>())
                throw std::runtime_error("\"where\": \"unnamed\" is true");
            w.unnamed = true;
        } else if (key == "versions") {
            if (!value.is_object())
                throw std::runtime_error("\"where\": \"versions\" is {\"from\", \"before\"}");
            for (const auto &[end, version] : value.items()) {
                if ((end != "from" && end != "before") || !version.is_string())
                    throw std::runtime_error("\"where\": \"versions\" names \"from\" and "
                                             "\"before\" as strings");
                (end == "from" ? w.since : w.before) = version;
            }
        } else if (key == "allocated_in") {
            if (value.is_string())
                w.allocated_in = {value.get<std::string>()};
            else if (value.is_array() && !value.empty() &&
                     std::all_of(value.begin(), value.end(),
                                 [](const json &v) { return v.is_string(); }))
                w.allocated_in = value.get<std::vector<std::string>>();
            else
                throw std::runtime_error("\"where\": \"allocated_in\" names functions");
        } else {
            throw std::runtime_error("\"where\" has no field \"" + key + "\"");
        }
    }
    const int forms = !w.symbol.empty() + !w.section.empty() + !w.allocated_in.empty() + w.unnamed;
    if (forms != 1)
        throw std::runtime_error("\"where\" names one of \"symbol\", \"section\" (with "
                                 "\"offset\"), \"allocated_in\" or \"unnamed\"");
    if (!w.section.empty() && w.to == 0)
        throw std::runtime_error("\"where\": a section comes with its \"offset\" range");
    if (w.section.empty() && w.to != 0)
        throw std::runtime_error("\"where\": an offset range comes with its \"section\"");
    if (w.allocated_in.empty() && w.block_to != 0)
        throw std::runtime_error("\"where\": a block offset comes with \"allocated_in\"");
    return w;
}

std::vector<where_t> parse_where(const json &j) {
    std::vector<where_t> all;
    if (j.is_array()) {
        if (j.empty())
            throw std::runtime_error("\"where\" names at least one place");
        for (const auto &e : j)
            all.push_back(parse_one_where(e));
    } else {
        all.push_back(parse_one_where(j));
    }
    return all;
}

bool memory_matches(const memory_t &m, const where_t &w) {
    if (w.unnamed)
        return m.kind == memory_kind_t::unknown;
    if (!w.allocated_in.empty()) {
        if (m.kind != memory_kind_t::heap)
            return false;
        if (w.block_to != 0 &&
            (!m.block_offset || *m.block_offset < w.block_from || *m.block_offset >= w.block_to))
            return false;
        for (const auto &f : m.allocated)
            for (const auto &fn : w.allocated_in)
                if (!f.function.empty() && function_named(f.function, fn))
                    return true;
        return false;
    }
    if (m.kind != memory_kind_t::global)
        return false;
    if (!w.object.empty() && !frame_in_objects({"", "", m.object, 0}, {w.object}))
        return false;
    if (!w.symbol.empty())
        return !m.symbol.empty() && bare_function(m.symbol) == w.symbol;
    return m.symbol.empty() && m.offset && m.section == w.section && *m.offset >= w.from &&
           *m.offset < w.to;
}

bool memory_matches_any(const memory_t &m, const std::vector<where_t> &where) {
    for (const auto &w : where)
        if (memory_matches(m, w))
            return true;
    return false;
}
