#include "output/markup.h"

namespace {

std::string pango_text(const std::string& text, bool) {
    return pango_escaped(text);
}

// Polybar opens a tag at every "%{" and has no escape for it ("%%{" is a "%" and a tag), so a
// "%" is followed by a zero-width space (a space in plain ASCII): no "%" of the text meets a
// "{", its own or one after it in the line.
std::string polybar_text(const std::string& text, bool utf8) {
    std::string escaped;
    for (const char c : text) {
        escaped += c;
        if (c == '%') {
            escaped += utf8 ? "\u200B" : " ";
        }
    }
    return escaped;
}

// tmux reads "#[...]" styles and "#{...}" formats in a status command's output; "##" is a "#".
std::string tmux_text(const std::string& text, bool) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '#' ? "##" : std::string(1, c);
    }
    return escaped;
}

} // namespace

const std::vector<markup_kind>& markup_kinds() {
    static const std::vector<markup_kind> table = {
        {markup::pango, "pango", pango_text},
        {markup::polybar, "polybar", polybar_text},
        {markup::tmux, "tmux", tmux_text},
    };
    return table;
}

std::optional<markup> markup_named(const std::string& name) {
    for (const markup_kind& entry : markup_kinds()) {
        if (name == entry.name) {
            return entry.kind;
        }
    }
    return std::nullopt;
}

std::string markup_names() {
    std::string names;
    for (const markup_kind& entry : markup_kinds()) {
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    }
    return names;
}

std::string markup_escaped(markup kind, const std::string& text, bool utf8) {
    for (const markup_kind& entry : markup_kinds()) {
        if (entry.kind == kind) {
            return entry.escaped(text, utf8);
        }
    }
    return text;
}

std::string pango_escaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
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
        case '\'':
            escaped += "&apos;";
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
