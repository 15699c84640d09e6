// Cutting values out of the storm service's reply text.
#pragma once

#include <optional>
#include <string>

// The characters after the first `open_tag` in `reply`, up to (not including) the first
// `close_tag` that follows it, or up to the end of the reply when none follows.
// Empty optional when the reply has no `open_tag`. Tags match byte for byte.
std::optional<std::string> tag_value(const std::string& reply, const std::string& open_tag,
                                     const std::string& close_tag);
