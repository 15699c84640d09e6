/* Preloaded into the program under test: writes a line to the file named by
 * NIMBROVATOR_TEST_SETUP_LOG for each TLS context made (SSL_CTX_new) and each libcurl set-up
 * (curl_global_init), then does what was asked. A test tells from it what a run set up. */
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
typedef int (*curl_global_init_fn)(long flags);

void* SSL_CTX_new(const void* method) {
    note("SSL_CTX_new");
    const ssl_ctx_new_fn real = (ssl_ctx_new_fn)dlsym(RTLD_NEXT, "SSL_CTX_new");
    return real != NULL ? real(method) : NULL;
}

int curl_global_init(long flags) {
    note("curl_global_init");
    const curl_global_init_fn real = (curl_global_init_fn)dlsym(RTLD_NEXT, "curl_global_init");
    return real != NULL ? real(flags) : 2 /* CURLE_FAILED_INIT */;
}
