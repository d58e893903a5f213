#include "words.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "build_info.h"

namespace {

// Length of the valid UTF-8 sequence at `i`, 0 if there is none.
size_t utf8_length(const std::string &s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
    for (size_t k = 1; k < len; ++k) {
        const auto n = i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
        if (n < (k == 1 ? lo : 0x80) || n > (k == 1 ? hi : 0xBF)) return 0;
    }
    return len;
}

// Keeps valid UTF-8 for which `keep(code point)` holds (asked of code points
// below U+0800, where the controls are); anything else becomes `bad(byte)`,
// byte by byte.
template <typename Keep, typename Bad>
std::string clean(const std::string &s, Keep keep, Bad bad) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t len = utf8_length(s, i);
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
        const unsigned point = len == 1 ? byte(0) : len == 2 ? (byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu) : 0x800;
        if (len == 0 || !keep(point)) {
            for (size_t k = 0; k < std::max<size_t>(len, 1); ++k) out += bad(byte(k));
            i += std::max<size_t>(len, 1);
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

std::string hex(unsigned char c) {
    char text[8];
    snprintf(text, sizeof text, "\\x%02x", c);
    return text;
}

// C0, DEL and C1 (U+0080 to U+009F: a terminal takes U+009B for an escape).
bool is_control(unsigned point) { return point < 0x20 || (point >= 0x7F && point < 0xA0); }

// `t` as local time for people, or as ISO 8601 UTC for machines.
std::string time_text(time_t t, bool utc) {
    struct tm tm {};
    char text[64];
    const bool ok = t >= 0 && (utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) != nullptr &&
                    strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &tm) > 0;
    return ok ? text : utc ? "" : "-";
}

}  // namespace

std::string printable(const std::string &s) {
    return clean(s, [](unsigned point) { return !is_control(point); }, hex);
}

std::string utf8(const std::string &s) {
    return clean(s, [](unsigned point) { return point != 0; }, [](unsigned char) { return std::string("\xEF\xBF\xBD"); });
}

std::string label_value(const std::string &s) {
    std::string out;
    for (const char c : clean(s, [](unsigned point) { return !is_control(point) && point != '\\'; }, hex)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string reason_text(const install_status &s) {
    if (!s.record_ignored.empty())
        return std::string(BOOTCHK_PATH) + " is ignored: " + s.record_ignored +
               (s.record_ignored == refusal_text(EWOULDBLOCK) ? " (for now)" : " (remove it)");
    const std::string texts[] = {"no boot-check record", "the record has no \"version\" text",
                                 std::string("the record is older than ") + DPI_PLUGIN_VERSION + " (the next cycle removes it)",
                                 "the record has no \"plugindata\": 1", "the record says a plugin bundle is installed"};
    return texts[static_cast<int>(s.reason)];
}

const char *space_name(bool data) { return data ? "data" : "system"; }

std::string version_text(const supervisor_status &sup) {
    return sup.revision.empty() ? sup.version : sup.version + " (" + sup.revision + ")";
}

std::string end_text(const program_end &e) {
    if (e.how == program_end::cut) return "end (record cut)";
    return (e.how == program_end::exited ? "exit " : "signal ") + std::to_string(e.value);
}

std::string duration_text(long s) {
    char buf[32];
    const long big = s >= 86400 ? 86400 : s >= 3600 ? 3600 : 60, small = big == 86400 ? 3600 : big / 60;
    snprintf(buf, sizeof buf, "%ld%c%02ld%c", s / big, big == 86400 ? 'd' : big == 3600 ? 'h' : 'm', s % big / small,
             big == 86400 ? 'h' : big == 3600 ? 'm' : 's');
    return s < 0 ? "-" : buf;
}

std::string padded(const std::string &s, size_t width) {
    return s + std::string(width > s.size() ? width - s.size() : 0, ' ');
}

std::string local_time_text(time_t t) { return time_text(t, false); }

std::string iso_utc(time_t t) { return time_text(t, true); }
