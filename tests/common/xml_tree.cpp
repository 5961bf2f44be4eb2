#include "xml_tree.h"

#include <expat.h>

namespace {
struct parsing_t {
    xml_tree_t doc;
    std::vector<int> open;
};
} // namespace

xml_tree_t parse_xml_tree(const std::string &text) {
    parsing_t state;
    XML_Parser p = XML_ParserCreate("UTF-8");
    XML_SetUserData(p, &state);
    XML_SetElementHandler(
        p,
        [](void *data, const XML_Char *name, const XML_Char **attrs) {
            auto &s = *static_cast<parsing_t *>(data);
            xml_element_t e{name, {}, "", s.open.empty() ? -1 : s.open.back()};
            for (int i = 0; attrs[i] != nullptr; i += 2)
                e.attrs[attrs[i]] = attrs[i + 1];
            s.open.push_back(static_cast<int>(s.doc.elements.size()));
            s.doc.elements.push_back(e);
        },
        [](void *data, const XML_Char *) { static_cast<parsing_t *>(data)->open.pop_back(); });
    XML_SetCharacterDataHandler(p, [](void *data, const XML_Char *s, int len) {
        auto &st = *static_cast<parsing_t *>(data);
        if (!st.open.empty())
            st.doc.elements[st.open.back()].text.append(s, static_cast<size_t>(len));
    });
    state.doc.ok = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return state.doc;
}

std::vector<const xml_element_t *> elements_named(const xml_tree_t &doc, const std::string &name) {
    std::vector<const xml_element_t *> found;
    for (const xml_element_t &e : doc.elements)
        if (e.name == name)
            found.push_back(&e);
    return found;
}

const xml_element_t *find_text(const xml_tree_t &doc, const std::string &name,
                               const std::string &text) {
    for (const xml_element_t *e : elements_named(doc, name))
        if (e->text.find(text) != std::string::npos)
            return e;
    return nullptr;
}
