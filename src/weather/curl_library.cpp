#include "weather/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace {

// The library's file name of Debian's libcurl4 package (the ABI the headers describe).
const char* const library_name = "libcurl.so.4";

template <typename Function> bool find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

const curl_functions* load() {
    // Never closed: the library stays for the rest of the process. Each library it brings binds
    // its functions as it was linked to (libcurl itself at once), as when the program was linked
    // to libcurl: RTLD_NOW would bind every function of some 30 libraries, most never called.
    void* library = dlopen(library_name, RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) {
        return nullptr;
    }
    static curl_functions functions;
    CURLcode (*global_init)(long flags) = nullptr;
    const bool found = find(library, "curl_global_init", global_init) &&
                       find(library, "curl_easy_init", functions.easy_init) &&
                       find(library, "curl_easy_setopt", functions.easy_setopt) &&
                       find(library, "curl_easy_perform", functions.easy_perform) &&
                       find(library, "curl_easy_getinfo", functions.easy_getinfo) &&
                       find(library, "curl_easy_cleanup", functions.easy_cleanup) &&
                       find(library, "curl_easy_reset", functions.easy_reset) &&
                       find(library, "curl_easy_strerror", functions.easy_strerror);
    if (!found || global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        return nullptr;
    }
    return &functions;
}

} // namespace

const curl_functions* curl_library() {
    // libcurl's set-up must not run on two threads at once.
    static std::once_flag loaded;
    static const curl_functions* functions = nullptr;
    std::call_once(loaded, [] { functions = load(); });
    return functions;
}
