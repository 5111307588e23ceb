#include "link/local_time.h"

#include <time.h>

bool ToLocalTime(std::time_t t, std::tm* local) {
#ifdef _WIN32
    return localtime_s(local, &t) == 0;
#else
    return localtime_r(&t, local) != nullptr;
#endif
}

bool AscTimeText(const std::tm& local, char* out, std::size_t size) {
    if (size < 26) return false;
    out[0] = '\0';
#ifdef _WIN32
    if (asctime_s(out, size, &local) != 0) {
        out[0] = '\0';
        return false;
    }
    return true;
#else
    return asctime_r(&local, out) != nullptr;
#endif
}
