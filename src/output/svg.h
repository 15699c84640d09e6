// A small writer of SVG pictures: shapes and texts with their styles, escaped for XML.
#pragma once

#include <string>
#include <utility>
#include <vector>

class svg_writer {
  public:
    svg_writer(double width, double height);
    void rect(double x, double y, double width, double height, const std::string& style);
    void line(double x1, double y1, double x2, double y2, const std::string& style);
    void circle(double x, double y, double radius, const std::string& style);
    void polyline(const std::vector<std::pair<double, double>>& points, const std::string& style);
    // A closed shape through the points.
    void polygon(const std::vector<std::pair<double, double>>& points, const std::string& style);
    // A line with a head at its end.
    void arrow(double x1, double y1, double x2, double y2, const std::string& style);
    void text(double x, double y, const std::string& content, const std::string& style);
    // A text turned a quarter left about (x, y), read upwards: the label of a vertical axis.
    void turned_text(double x, double y, const std::string& content, const std::string& style);
    // The whole document.
    std::string finish();

  private:
    std::string body_;
};

// The text made safe for XML character data and attribute values: escaped, and without the
// characters XML does not allow (control characters, U+FFFE, U+FFFF, malformed UTF-8).
std::string xml_escaped(const std::string& text);
