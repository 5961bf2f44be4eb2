// What expat makes of a document the runner wrote (JUnit, SVG, HTML), for tests to look into.
#pragma once

#include <map>
#include <string>
#include <vector>

struct xml_element_t {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::string text; // the character data directly inside the element
    int parent = -1;  // index in xml_tree_t::elements, -1 for the root
};

struct xml_tree_t {
    bool ok = false;                     // the whole text was well-formed
    std::vector<xml_element_t> elements; // in document order
};

xml_tree_t parse_xml_tree(const std::string &text);

// The elements called `name`, in document order.
std::vector<const xml_element_t *> elements_named(const xml_tree_t &doc, const std::string &name);

// The first element called `name` whose text holds `text`, or nullptr.
const xml_element_t *find_text(const xml_tree_t &doc, const std::string &name,
                               const std::string &text);
