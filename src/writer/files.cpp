#include "writer/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "writer/text.h"

namespace vornix::writer {

namespace {

// strerror_r comes in two flavours: the GNU one returns the text, the POSIX
// one fills the buffer and returns a status.
[[maybe_unused]] const char* error_text(int, const char* text, char*) { return text; }
[[maybe_unused]] const char* error_text(int status, int, char* buf) {
    return status == 0 ? buf : nullptr;
}

EngineError os_error(int err) { return {ErrorKind::Os, os_error_message(err)}; }

// The file-system calls take C strings: a path with a NUL byte inside would
// silently name another file.
IoStatus check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return EngineError{ErrorKind::Os, "file name contained an unexpected NUL byte"};
    }
    return std::nullopt;
}

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The path with its last component removed ("" for a single relative
// component); nullopt for the root or an empty path.
std::optional<std::string> parent_of(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return std::nullopt;
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return std::string();
    std::size_t cut = slash;
    while (cut > 0 && path[cut - 1] == '/') --cut;
    return cut == 0 ? std::string("/") : path.substr(0, cut);
}

IoStatus write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (n == 0) return EngineError{ErrorKind::Os, "failed to write whole buffer"};
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return std::nullopt;
}

IoStatus open_truncated(const std::string& path, int& fd) {
    if (auto bad = check_path(path)) return bad;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno);
    return std::nullopt;
}

}  // namespace

std::string os_error_message(int err) {
    char buf[256] = "";
    const char* text = error_text(0, strerror_r(err, buf, sizeof buf), buf);
    std::string msg = text != nullptr ? text : "Unknown error " + std::to_string(err);
    return msg + " (os error " + std::to_string(err) + ")";
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string p(dir);
    if (!p.empty() && !name.empty() && p.back() != '/') p.push_back('/');
    p.append(name);
    return p;
}

const std::string& family_file_path(std::string& path, std::string_view dir, std::uint64_t family,
                                    std::string_view suffix) {
    path.assign(dir);
    if (!path.empty() && path.back() != '/') path.push_back('/');
    append_int(path, family + 1);
    path.append(suffix);
    return path;
}

// Deepest first: try the path itself, and only when a parent is missing
// create the parents and try again. An existing directory counts as success.
IoStatus create_dir_all(const std::string& path) {
    if (path.empty()) return std::nullopt;
    if (auto bad = check_path(path)) return bad;
    if (::mkdir(path.c_str(), 0777) == 0) return std::nullopt;
    const int err = errno;
    if (err != ENOENT) {
        if (is_dir(path)) return std::nullopt;
        return os_error(err);
    }
    const auto parent = parent_of(path);
    if (!parent) return EngineError{ErrorKind::Os, "failed to create whole tree"};
    if (auto failed = create_dir_all(*parent)) return failed;
    if (::mkdir(path.c_str(), 0777) == 0) return std::nullopt;
    const int again = errno;
    if (is_dir(path)) return std::nullopt;
    return os_error(again);
}

IoStatus write_file(const std::string& path, std::string_view data) {
    int fd = -1;
    if (auto failed = open_truncated(path, fd)) return failed;
    IoStatus status = write_all(fd, data);
    ::close(fd);
    return status;
}

BufferedFile::~BufferedFile() {
    if (fd_ >= 0) ::close(fd_);
}

IoStatus BufferedFile::open(const std::string& path) {
    buf_.clear();
    buf_.reserve(kCapacity);
    return open_truncated(path, fd_);
}

IoStatus BufferedFile::write(std::string_view data) {
    if (buf_.size() + data.size() > kCapacity) {
        if (auto failed = flush()) return failed;
    }
    if (data.size() >= kCapacity) return write_all(fd_, data);
    buf_.append(data);
    return std::nullopt;
}

IoStatus BufferedFile::flush() {
    IoStatus status = write_all(fd_, buf_);
    buf_.clear();
    return status;
}

}  // namespace vornix::writer
