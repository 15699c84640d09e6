/* Preloaded into the program under test: answers the password-database look-ups of the
 * current user with a home directory of the test's choosing, so no test touches the real
 * ~/.nimbrovator.
 *   NIMBROVATOR_TEST_HOME=DIR      the entry's home directory is DIR
 *   NIMBROVATOR_TEST_NO_PASSWD=1   the user has no entry at all */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static struct passwd fake_entry;

static int fake_wanted(void) {
    return getenv("NIMBROVATOR_TEST_HOME") != NULL || getenv("NIMBROVATOR_TEST_NO_PASSWD") != NULL;
}

static void fill_entry(struct passwd* entry, uid_t uid) {
    entry->pw_name = (char*)"tester";
    entry->pw_passwd = (char*)"x";
    entry->pw_uid = uid;
    entry->pw_gid = uid;
    entry->pw_gecos = (char*)"";
    entry->pw_dir = getenv("NIMBROVATOR_TEST_HOME");
    entry->pw_shell = (char*)"/bin/sh";
}

struct passwd* getpwuid(uid_t uid) {
    if (!fake_wanted()) {
        struct passwd* (*real)(uid_t) = (struct passwd * (*)(uid_t)) dlsym(RTLD_NEXT, "getpwuid");
        return real != NULL ? real(uid) : NULL;
    }
    if (getenv("NIMBROVATOR_TEST_NO_PASSWD") != NULL) {
        return NULL;
    }
    fill_entry(&fake_entry, uid);
    return &fake_entry;
}

int getpwuid_r(uid_t uid, struct passwd* entry, char* buffer, size_t size, struct passwd** result) {
    if (!fake_wanted()) {
        int (*real)(uid_t, struct passwd*, char*, size_t, struct passwd**) =
            (int (*)(uid_t, struct passwd*, char*, size_t, struct passwd**))dlsym(RTLD_NEXT,
                                                                                  "getpwuid_r");
        return real != NULL ? real(uid, entry, buffer, size, result) : ENOENT;
    }
    (void)buffer;
    (void)size;
    if (getenv("NIMBROVATOR_TEST_NO_PASSWD") != NULL) {
        *result = NULL;
        return 0;
    }
    fill_entry(entry, uid);
    *result = entry;
    return 0;
}
