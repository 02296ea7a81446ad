// The libFuzzer start-up of the targets that need nothing but a quiet log.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Zentak::FuzzSupport::SilenceLogging();
    return 0;
}
