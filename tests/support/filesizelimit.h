#pragma once
// Makes every write beyond `bytes` fail (EFBIG) while it lives: a full disk
// as seen by the program. Works for root too, where permission bits would not
// stop a write.

#include <csignal>
#include <sys/resource.h>

struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes)
    {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (previousHandler == SIG_ERR)
            previousHandler = SIG_DFL;
        if (getrlimit(RLIMIT_FSIZE, &old) != 0)
            return;
        rlimit small = old;
        small.rlim_cur = bytes;
        applied = setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit()
    {
        if (applied)
            setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool applied = false; // the limit is in force
    rlimit old{};
    void (*previousHandler)(int) = SIG_DFL;
};
