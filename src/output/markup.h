// The markup of the bars that show a --format line: what a text of the answer (a name, a
// field) needs there to show as it is, and not as a tag of the bar.
//   pango:   "Tom & <b>"  -> "Tom &amp; &lt;b&gt;"
//   polybar: "%{F#f00}"   -> "%\u200B{F#f00}" (no tag opens)
//   tmux:    "#[fg=red]"  -> "##[fg=red]"
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class markup { none, pango, polybar, tmux };

struct markup_kind {
    markup kind;
    const char* name; // as --escape takes it
    // The text made safe; `utf8`: the line is UTF-8 (else plain ASCII).
    std::string (*escaped)(const std::string& text, bool utf8);
};

// The bars' markups, in the order of the documentation (none is not among them).
const std::vector<markup_kind>& markup_kinds();
// The markup of `name` ("pango", "polybar", "tmux"), or nothing.
std::optional<markup> markup_named(const std::string& name);
// The names, "pango, polybar, tmux", for messages.
std::string markup_names();
// The text made safe for the markup; as it is for none.
std::string markup_escaped(markup kind, const std::string& text, bool utf8);

// The text as Pango markup that shows it as it is: "&", "<", ">", "'" and '"' as entities.
std::string pango_escaped(const std::string& text);
