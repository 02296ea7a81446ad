#include <pthread.h>

#include <string>

#include "utils/posix_compat.h"

namespace Zentak::Util {

void SetCurrentThreadName(const char* name)
{
    // The kernel keeps 15 characters and refuses longer names outright.
    pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
}

} // namespace Zentak::Util
