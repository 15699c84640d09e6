/* Preloaded into the program under test: writes a line to the file named by
 * NIMBROVATOR_TEST_SETUP_LOG for each TLS context made (SSL_CTX_new), then makes it; at the end
 * of the process, "libcurl" when libcurl was loaded. A test tells from it what a run set up. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void note(const char* name) {
    const char* path = getenv("NIMBROVATOR_TEST_SETUP_LOG");
    if (path == NULL) {
        return;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        const size_t length = strlen(name);
        (void)!write(fd, name, length);
        (void)!write(fd, "\n", 1);
        close(fd);
    }
}

typedef void* (*ssl_ctx_new_fn)(const void* method);

void* SSL_CTX_new(const void* method) {
    note("SSL_CTX_new");
    const ssl_ctx_new_fn real = (ssl_ctx_new_fn)dlsym(RTLD_NEXT, "SSL_CTX_new");
    return real != NULL ? real(method) : NULL;
}

__attribute__((destructor)) static void note_libcurl(void) {
    void* libcurl = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_NOLOAD);
    if (libcurl != NULL) {
        note("libcurl");
        dlclose(libcurl);
    }
}
