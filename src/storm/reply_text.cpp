#include "storm/reply_text.h"

std::optional<std::string> tag_value(const std::string& reply, const std::string& open_tag,
                                     const std::string& close_tag) {
    const std::size_t open = reply.find(open_tag);
    if (open == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t start = open + open_tag.size();
    const std::size_t close = reply.find(close_tag, start);
    if (close == std::string::npos) {
        return reply.substr(start);
    }
    return reply.substr(start, close - start);
}
