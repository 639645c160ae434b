// What the pictures share: text made safe inside SVG markup, and legend keys.
#pragma once

#include <string>

namespace qs_tools {

// &, <, > and " as XML entities.
std::string EscapeXml(const std::string &text);

// A legend row: the mark's markup (drawn in a 14 by 14 box at x, y - 11) and its text after it.
// Returns the width the key takes.
double LegendKey(std::string &svg, double x, double y, const std::string &mark,
                 const std::string &text);

}  // namespace qs_tools
