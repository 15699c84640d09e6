// The one error style of the program: a function that can fail returns `result<T>`, which holds
// either its value or a message in Polish for the user. `result<void>` says only whether it
// worked. Nothing throws: read the value with `*` or `->` after checking it.
#pragma once

#include <tl/expected.hpp>

#include <string>
#include <utility>

template <typename T> using result = tl::expected<T, std::string>;

// The failed result with `message`: `return failure("...")` from a function returning result<T>.
inline tl::unexpected<std::string> failure(std::string message) {
    return tl::make_unexpected(std::move(message));
}
