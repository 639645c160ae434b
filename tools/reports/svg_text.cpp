#include "tools/reports/svg_text.h"

#include <cstdio>

namespace qs_tools {

std::string EscapeXml(const std::string &text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

double LegendKey(std::string &svg, double x, double y, const std::string &mark,
                 const std::string &text)
{
    char head[96];
    std::snprintf(head, sizeof head, "<g class=\"key\" transform=\"translate(%.1f %.1f)\">", x,
                  y - 11);
    svg += head + mark;
    std::snprintf(head, sizeof head, "<text x=\"20\" y=\"11\">");
    svg += head + EscapeXml(text) + "</text></g>\n";
    // About 7 pixels a character at the pictures' 12 and 13 pixel fonts.
    return 34 + 6.8 * double(text.size());
}

}  // namespace qs_tools
