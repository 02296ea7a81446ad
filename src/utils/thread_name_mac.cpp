#include <pthread.h>

#include <string>

#include "utils/posix_compat.h"

namespace Zentak::Util {

void SetCurrentThreadName(const char* name)
{
    // Darwin names only the calling thread; the same 15 characters as on
    // Linux keep listings alike.
    pthread_setname_np(std::string(name).substr(0, 15).c_str());
}

} // namespace Zentak::Util
