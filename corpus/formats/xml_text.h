// Text for the files the runner writes for other programs to read (JUnit, SARIF, SVG, HTML):
// made valid UTF-8, and escaped for XML.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

// `s` as valid UTF-8: a byte that starts no valid sequence becomes U+FFFD. With `for_xml`, the
// characters XML 1.0 does not allow (control characters other than tab, newline and carriage
// return; U+FFFE, U+FFFF) are left out as well.
std::string clean_text(const std::string &s, bool for_xml);

// `raw` cleaned for XML and escaped as character data or, with `attribute`, as an attribute
// value (where tabs and newlines are escaped too, or the parser would turn them into spaces; a
// carriage return is escaped everywhere for the same reason).
std::string xml_escape(const std::string &raw, bool attribute);

// JSON text of `j` (indented by `indent`, or on one line with -1) in which strings holding bytes
// that are not UTF-8 (a path, a compiler's name) keep them as U+FFFD instead of failing.
std::string json_text(const nlohmann::json &j, int indent);
