/* Preloaded into the program under test: a name lookup of NIMBROVATOR_TEST_STALLED_HOST never
 * answers (it gives up after a minute, so nothing waits without end); one of
 * NIMBROVATOR_TEST_UNKNOWN_HOST finds no address at once, whatever the name servers of the
 * machine; every other name is looked up as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*lookup_function)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** found) {
    const char* stalled = getenv("NIMBROVATOR_TEST_STALLED_HOST");
    if (node != NULL && stalled != NULL && strcmp(node, stalled) == 0) {
        for (int second = 0; second < 60; ++second) {
            sleep(1);
        }
        return EAI_AGAIN;
    }
    const char* unknown = getenv("NIMBROVATOR_TEST_UNKNOWN_HOST");
    if (node != NULL && unknown != NULL && strcmp(node, unknown) == 0) {
        return EAI_NONAME;
    }
    const lookup_function next = (lookup_function)dlsym(RTLD_NEXT, "getaddrinfo");
    return next == NULL ? EAI_SYSTEM : next(node, service, hints, found);
}
