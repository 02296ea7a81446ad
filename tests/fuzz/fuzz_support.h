#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <glog/logging.h>

// Helpers shared by the fuzz targets. Each target is one libFuzzer program;
// it runs single-threaded, one input at a time.

// A broken property is a finding like a crash: say which, then abort, so that
// libFuzzer keeps the input as a crash artefact.
#define FUZZ_CHECK(condition, detail)                                                        \
    do {                                                                                     \
        if (!(condition)) {                                                                  \
            ::Zentak::FuzzSupport::Fail(#condition, __FILE__, __LINE__, std::string(detail)); \
        }                                                                                    \
    } while (0)

namespace Zentak::FuzzSupport {

[[noreturn]] inline void Fail(const char* condition, const char* file, int line,
                              const std::string& detail)
{
    std::fprintf(stderr, "Fuzz property broken at %s:%d: %s\n  %s\n", file, line, condition,
                 detail.c_str());
    std::abort();
}

// The code under test logs every input it refuses; at thousands of inputs a
// second the log would be most of the work. Fatal messages still show.
inline void SilenceLogging()
{
    FLAGS_minloglevel = google::GLOG_FATAL;
    FLAGS_stderrthreshold = google::GLOG_FATAL;
}

// The bytes as C escapes, for the text of a broken property.
inline std::string Printable(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    return out;
}

} // namespace Zentak::FuzzSupport
