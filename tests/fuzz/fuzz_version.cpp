// The dotted-version packing on arbitrary text: no undefined behaviour, and
// an order that is reflexive and antisymmetric.
#include <string>

#include "watch_daemon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const size_t split = text.find('\n');
    const std::string a = text.substr(0, split);
    const std::string b = split == std::string::npos ? "3.9.47.2" : text.substr(split + 1);
    if (version_cmp(a.c_str(), a.c_str()) != 0) abort();
    const int ab = version_cmp(a.c_str(), b.c_str());
    const int ba = version_cmp(b.c_str(), a.c_str());
    if ((ab > 0) != (ba < 0) || (ab == 0) != (ba == 0)) abort();
    if ((ab == 0) != (ip_int(a.c_str()) == ip_int(b.c_str()))) abort();
    return 0;
}
