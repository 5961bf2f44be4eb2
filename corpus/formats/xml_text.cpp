#include "xml_text.h"

#include <cstdint>

std::string clean_text(const std::string &s, bool for_xml) {
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000}; // shortest form per length
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        uint32_t cp = n == 1 ? c : n == 2 ? c & 0x1f : n == 3 ? c & 0x0f : c & 0x07;
        bool valid = n != 0 && i + n <= s.size();
        for (size_t k = 1; valid && k < n; ++k) {
            unsigned char next = s[i + k];
            valid = (next & 0xc0) == 0x80;
            cp = cp << 6 | (next & 0x3f);
        }
        valid = valid && cp >= least[n] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
        if (!valid) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        bool allowed = true;
        if (for_xml)
            allowed =
                cp >= 0x20 ? cp != 0xfffe && cp != 0xffff : cp == '\t' || cp == '\n' || cp == '\r';
        if (allowed)
            out.append(s, i, n);
        i += n;
    }
    return out;
}

std::string xml_escape(const std::string &raw, bool attribute) {
    std::string out;
    for (char ch : clean_text(raw, true)) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\t':
            out += attribute ? "&#9;" : "\t";
            break;
        case '\n':
            out += attribute ? "&#10;" : "\n";
            break;
        default:
            out += ch;
        }
    }
    return out;
}

std::string json_text(const nlohmann::json &j, int indent) {
    return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}
