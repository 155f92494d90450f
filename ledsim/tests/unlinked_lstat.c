/*
 * Interposed in runs of the tool (LD_PRELOAD) by the process tests: lstat
 * reports no link for the one name LEDSIM_TEST_UNLINKED gives, as it does
 * when another run removes that name between the lookup and the read of its
 * inode, which no file system gives on demand.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int lstat(const char* path, struct stat* info)
{
    int (*next)(const char*, struct stat*);
    const char* unlinked = getenv("LEDSIM_TEST_UNLINKED");
    int result;

    *(void**)&next = dlsym(RTLD_NEXT, "lstat");
    result = next(path, info);
    if (result == 0 && unlinked != NULL && strcmp(path, unlinked) == 0)
        info->st_nlink = 0;
    return result;
}
