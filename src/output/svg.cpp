#include "output/svg.h"

#include "text/text.h"
#include "weather/reply_fields.h"

#include <cmath>

namespace {

std::string number(double value) {
    return fixed(std::isfinite(value) ? value : 0, 1);
}

std::string point_list(const std::vector<std::pair<double, double>>& points) {
    std::string list;
    for (const auto& [x, y] : points) {
        list += (list.empty() ? "" : " ") + number(x) + "," + number(y);
    }
    return list;
}

} // namespace

std::string xml_escaped(const std::string& text) {
    // Well-formed UTF-8 without control characters; XML forbids U+FFFE and U+FFFF too.
    const std::string allowed = strip_control_chars(text);
    std::string escaped;
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        const char c = allowed[i];
        if (allowed.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < allowed.size() &&
            (allowed[i + 2] == '\xBE' || allowed[i + 2] == '\xBF')) {
            i += 2;
            continue;
        }
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

svg_writer::svg_writer(double width, double height) {
    body_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
            number(width) + "\" height=\"" + number(height) + "\" viewBox=\"0 0 " + number(width) +
            " " + number(height) + "\" font-family=\"DejaVu Sans, sans-serif\">\n";
}

void svg_writer::rect(double x, double y, double width, double height, const std::string& style) {
    body_ += "<rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\"" +
             number(std::fabs(width)) + "\" height=\"" + number(std::fabs(height)) + "\" style=\"" +
             xml_escaped(style) + "\"/>\n";
}

void svg_writer::line(double x1, double y1, double x2, double y2, const std::string& style) {
    body_ += "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) +
             "\" y2=\"" + number(y2) + "\" style=\"" + xml_escaped(style) + "\"/>\n";
}

void svg_writer::circle(double x, double y, double radius, const std::string& style) {
    body_ += "<circle cx=\"" + number(x) + "\" cy=\"" + number(y) + "\" r=\"" + number(radius) +
             "\" style=\"" + xml_escaped(style) + "\"/>\n";
}

void svg_writer::polyline(const std::vector<std::pair<double, double>>& points,
                          const std::string& style) {
    if (points.size() < 2) {
        return;
    }
    body_ +=
        "<polyline points=\"" + point_list(points) + "\" style=\"" + xml_escaped(style) + "\"/>\n";
}

void svg_writer::polygon(const std::vector<std::pair<double, double>>& points,
                         const std::string& style) {
    if (points.size() < 3) {
        return;
    }
    body_ +=
        "<polygon points=\"" + point_list(points) + "\" style=\"" + xml_escaped(style) + "\"/>\n";
}

void svg_writer::arrow(double x1, double y1, double x2, double y2, const std::string& style) {
    line(x1, y1, x2, y2, style);
    const double angle = std::atan2(y2 - y1, x2 - x1);
    const double head = 12;
    for (const double side : {-0.45, 0.45}) {
        line(x2, y2, x2 - head * std::cos(angle + side), y2 - head * std::sin(angle + side), style);
    }
}

void svg_writer::text(double x, double y, const std::string& content, const std::string& style) {
    body_ += "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" style=\"" + xml_escaped(style) +
             "\">" + xml_escaped(content) + "</text>\n";
}

void svg_writer::turned_text(double x, double y, const std::string& content,
                             const std::string& style) {
    body_ += "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" transform=\"rotate(-90 " +
             number(x) + " " + number(y) + ")\" style=\"" + xml_escaped(style) + "\">" +
             xml_escaped(content) + "</text>\n";
}

std::string svg_writer::finish() {
    return body_ + "</svg>\n";
}
