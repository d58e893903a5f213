// The run file: its first line and its exit records.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <sstream>

#include "fs.h"
#include "status.h"

namespace {

constexpr size_t stamp_len = 24;  // "Mon Mar  4 09:05:07 2024"

// "BASE exited normally with code(N)" or "BASE killed by signal(N)", with a
// number the supervisor can write: an exit code or a signal's.
bool parse_end(const std::string &rest, program_end &end) {
    static const std::regex form(R"((.*) (exited normally with code|killed by signal)\((\d{1,3})\))");
    std::smatch m;
    if (!std::regex_match(rest, m, form)) return false;
    end.base = m[1], end.value = std::stoi(m[3]);
    end.how = m[2].str()[0] == 'e' ? program_end::exited : program_end::killed;
    return end.how == program_end::exited ? end.value <= 255 : end.value >= 1 && end.value <= 64;
}

}  // namespace

bool parse_exit_record(const std::string &line, const std::vector<std::string> &bases, program_end &end) {
    // "Mon Mar  4 09:05:07 2024: BASE exited normally with code(N)", in the
    // supervisor's local time, which the stamp does not name.
    // The supervisor writes no line longer; a longer one is never matched,
    // which would cost the regular expression a stack frame per character.
    if (line.size() > 254) return false;
    struct tm tm {};
    const char *stamp_end = strptime(line.c_str(), "%a %b %e %H:%M:%S %Y", &tm);
    if (line.size() < stamp_len + 2 || stamp_end != line.c_str() + stamp_len || line.compare(stamp_len, 2, ": ") != 0)
        return false;
    end.stamp = timegm(&tm);
    const std::string rest = line.substr(stamp_len + 2);
    if (parse_end(rest, end)) return true;
    // A record cut at 255 bytes: 254 characters, named by a configured base.
    if (line.size() != 254) return false;  // the 256-byte buffer, less its NUL and the line end
    const auto named = [&](const std::string &base) { return rest.starts_with(base) || base.starts_with(rest); };
    const auto matches = std::count_if(bases.begin(), bases.end(), named);
    if (matches == 0) return false;
    // Programs that share the part kept are not told apart: it shows as it stands.
    end.base = matches == 1 ? *std::find_if(bases.begin(), bases.end(), named) : rest;
    end.how = program_end::cut;
    return true;
}

namespace {

constexpr size_t run_file_head = PATH_MAX + 1;  // the directory line
constexpr size_t run_file_tail = 4 << 20;       // records read at most

// The first line when it names the install directory (a full disk at the
// supervisor's start leaves none), and at most the last run_file_tail bytes
// of the records.
bool read_parts(int fd, const struct stat &st, supervisor_status &sup, std::string &records) {
    const auto size = static_cast<size_t>(st.st_size);
    std::string head(std::min(size, run_file_head), '\0');
    if (read_full(fd, head.data(), head.size()) < 0) return false;
    const size_t records_at = head.starts_with("/") ? std::min(head.find('\n'), head.size()) + 1 : 0;
    if (records_at > 0) sup.directory = head.substr(0, records_at - 1);
    size_t from = std::max(records_at, size > run_file_tail ? size - run_file_tail : 0);
    sup.truncated = from > records_at;
    // With the byte before the tail, a first line that begins just there is
    // told from a partial one.
    from -= sup.truncated ? 1 : 0;
    records.assign(size > from ? size - from : 0, '\0');
    const ssize_t n = pread(fd, records.data(), records.size(), static_cast<off_t>(from));
    if (n < 0) return false;
    records.resize(static_cast<size_t>(n));
    if (sup.truncated) records.erase(0, records.find('\n') + 1);  // up to the first whole line
    return true;
}

}  // namespace

unique_fd open_supervisor_file(install_status &status, const std::string &path, std::string &error) {
    unique_fd fd = open_exposed(path.c_str());
    if (!fd.valid() && (errno == EACCES || errno == EPERM)) error = "cannot read " + path + ": " + strerror(errno);
    else if (!fd.valid() && errno != ENOENT) status.notes.push_back(path + " is " + refusal_text(errno) + ": skipped");
    return fd;
}

bool read_run_file(install_status &status, std::string &error) {
    supervisor_status &sup = status.sup;
    const unique_fd fd = open_supervisor_file(status, sup.run_file, error);
    if (!fd.valid()) return error.empty();
    struct stat st {};
    std::string records;
    if (fstat(fd.get(), &st) != 0 || !read_parts(fd.get(), st, sup, records))
        return error = "cannot read " + sup.run_file + ": " + strerror(errno), false;
    sup.has_run_file = true;
    std::vector<std::string> bases = status.bases;
    for (const auto &p : sup.programs) bases.push_back(p.base);
    std::istringstream lines(records);
    for (std::string line; std::getline(lines, line);) {
        program_end end;
        parse_exit_record(line, bases, end) ? sup.history.push_back(end) : void(++sup.unparsed);
    }
    if (sup.unparsed > 0)
        status.notes.push_back(sup.run_file + ": " + std::to_string(sup.unparsed) + " line(s) are not exit records");
    if (sup.truncated)
        status.notes.push_back(sup.run_file + " is large: ends are counted over its last " +
                               std::to_string(run_file_tail >> 20) + " MiB only");
    return true;
}
